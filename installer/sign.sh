#!/bin/bash
# Signs files (PE modules, MSI packages) in place with osslsigncode, when a certificate is configured;
# otherwise says that they stay unsigned and succeeds.
# Usage: sign.sh FILE...
#
# Configuration (environment variables; the CMake cache entries of the same names are handed down as
# such by the package target). Only paths are configured, never a secret:
#   QAR_SIGN_PKCS12             a PKCS#12 file with the certificate and its key, or
#   QAR_SIGN_CERT, QAR_SIGN_KEY the certificate (PEM or DER, chain included) and its private key;
#   QAR_SIGN_PASSWORD_FILE      a file whose first line is the password of the PKCS#12 file or key;
#   QAR_SIGN_PASSWORD           the password itself (environment only: a CI secret), used when no file
#                               is named; it is handed to osslsigncode through a private temporary file,
#                               never on a command line or in output;
#   QAR_SIGN_TIMESTAMP_URL      an RFC 3161 time-stamp server (optional; keeps the signature valid after
#                               the certificate expires).
set -eu

if [ -n "${QAR_SIGN_PKCS12:-}" ]; then
    credentials=(-pkcs12 "$QAR_SIGN_PKCS12")
    what="$QAR_SIGN_PKCS12"
elif [ -n "${QAR_SIGN_CERT:-}" ] && [ -n "${QAR_SIGN_KEY:-}" ]; then
    credentials=(-certs "$QAR_SIGN_CERT" -key "$QAR_SIGN_KEY")
    what="$QAR_SIGN_CERT"
elif [ -n "${QAR_SIGN_CERT:-}${QAR_SIGN_KEY:-}" ]; then
    echo "sign: QAR_SIGN_CERT and QAR_SIGN_KEY go together; set both (or QAR_SIGN_PKCS12)" >&2
    exit 2
else
    for file in "$@"; do echo "UNSIGNED: $file (no certificate configured: set QAR_SIGN_PKCS12 or QAR_SIGN_CERT and QAR_SIGN_KEY)"; done
    exit 0
fi

passfile=""
cleanup() { [ -z "$passfile" ] || rm -f "$passfile"; }
trap cleanup EXIT INT TERM
if [ -n "${QAR_SIGN_PASSWORD_FILE:-}" ]; then
    password=(-readpass "$QAR_SIGN_PASSWORD_FILE")
elif [ -n "${QAR_SIGN_PASSWORD:-}" ]; then
    passfile=$(umask 077 && mktemp)
    printf '%s\n' "$QAR_SIGN_PASSWORD" >"$passfile"
    password=(-readpass "$passfile")
else
    password=()
fi
timestamp=()
[ -z "${QAR_SIGN_TIMESTAMP_URL:-}" ] || timestamp=(-ts "$QAR_SIGN_TIMESTAMP_URL")

for file in "$@"; do
    # osslsigncode writes a new file; it replaces the original only once signing succeeded.
    rm -f "$file.signed"
    if ! osslsigncode sign "${credentials[@]}" "${password[@]}" "${timestamp[@]}" -h sha256 -n QarSldwInterface \
            -in "$file" -out "$file.signed" >"$file.sign-log" 2>&1; then
        # The log holds osslsigncode's own text (never the password, which it reads from a file).
        cat "$file.sign-log" >&2
        rm -f "$file.sign-log" "$file.signed"
        echo "sign: signing $file with $what failed" >&2
        exit 1
    fi
    rm -f "$file.sign-log"
    mv "$file.signed" "$file"
    echo "signed: $file ($what)"
done
