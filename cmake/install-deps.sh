#!/bin/sh
# Installs what building and testing need on Debian 12, if anything is missing.
set -eu
# nlohmann-json3-dev: reading traces (qarsldw trace summary, tests).
# wixl, osslsigncode and openssl: the installer package, its signing and the tests' throwaway certificate.
# clang, lld and llvm: the Microsoft-format import library (llvm-dlltool) and the tests' Microsoft-ABI host.
# clang-format: the test format.check.
packages="cmake ninja-build make g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64 wine64 googletest
clang lld llvm clang-format
nlohmann-json3-dev
wixl osslsigncode openssl"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
