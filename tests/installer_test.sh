#!/bin/bash
# The MSI package under Wine's msiexec: one step of tests/installer_tests.cmake per run.
# Usage: installer_test.sh STEP CONFIG   (CONFIG: the paths CMake wrote, see installer_tests.cmake)
set -euo pipefail
step=$1
# shellcheck source=/dev/null
. "$2"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
older=0.9.0
# The add-in's folder, where an administrator installs the library (a blank in it on purpose).
folder='C:\CAD Add-ins\Qar'
unix_folder="$prefix/drive_c/CAD Add-ins/Qar"
steps="packages install upgrade doctor session downgrade registration repair remove"

fail() { echo "FAILED: $*" >&2; exit 1; }
run() { "$wine" "$@" </dev/null; }
# Windows path of a Unix path.
winpath() { run winepath -w "$1" 2>/dev/null; }
# msiexec ARGS...: its exit code as Wine reports it (cut to 8 bits: 1603 reads 67); the verbose log in
# $work/msiexec-STEP.log (Wine 8 writes it in ASCII).
msiexec() {
    local code=0
    run msiexec "$@" /l*v "$(winpath "$work/msiexec-$step.log")" || code=$?
    echo "msiexec $* -> $code" >&2
    return $code
}
# The installed products of this package's upgrade code: "ProductCode DisplayVersion" per line.
products() {
    run reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r' |
        awk '/^HKEY/ { key = $0; sub(/.*\\/, "", key) }
             $1 == "DisplayName" && $3 == "QarSldwInterface" { name[key] = 1 }
             $1 == "DisplayVersion" { ver[key] = $3 }
             END { for (k in name) print k, ver[k] }'
}
# The prefix's state: its file tree (type, path, size) and its registry (HKLM and HKCU as reg export
# writes them), in $work/NAME.files and $work/NAME.reg.
snapshot() {
    (cd "$prefix/drive_c" && find . -printf '%y %p %s\n' | LC_ALL=C sort) >"$work/$1.files"
    : >"$work/$1.reg"
    for root in HKLM HKCU; do
        run reg export "$root" "$(winpath "$work/$1.$root")" /y >/dev/null 2>&1 || fail "reg export $root"
        iconv -f UTF-16LE -t UTF-8 "$work/$1.$root" | tr -d '\r' >>"$work/$1.reg"
        rm -f "$work/$1.$root"
    done
}
# A registry export without what Wine itself changes while a program runs: the display adapter keys that
# every process initialising a display adds (HKLM\System\CurrentControlSet\Control\Video\{new
# identifier}), and the empty containers of Windows Installer's own records, which Wine 8 creates at the
# first installation and leaves after the removal (Windows has them from the start). A container that
# still holds a value is kept, and so shows in a comparison.
without_wine_changes() {
    awk 'function flush() { if (header != "" && !(drop || (container && !values))) printf "%s", block }
         /^\[/ { flush(); header = $0; block = ""; values = 0
                  drop = index($0, "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Video\\") == 1
                  container = $0 ~ /^\[HKEY_LOCAL_MACHINE\\Software\\(Classes|Microsoft\\Windows\\CurrentVersion)\\Installer(\\(Features|Products|UpgradeCodes|UserData(\\S-1-5-18(\\(Components|Products))?)?))?\]$/ }
         /^[@"]/ { values++ }
         { block = block $0 "\n" }
         END { flush() }' "$1"
}
# Installed files equal to the given ones (cmp), each by name: the files a package packed, as staged
# beside it (stripped and signed, not the build tree's).
same_files() {
    local file
    for file in "$@"; do
        cmp -s "$file" "$unix_folder/$(basename "$file")" || fail "$unix_folder/$(basename "$file") is not $file"
    done
}
installed_value() {
    run reg query 'HKLM\Software\QarSldwInterface' /v "$1" 2>/dev/null | tr -d '\r' |
        awk -v name="$1" '$1 == name { sub(/^ *[^ ]+ +REG_SZ +/, ""); print }'
}

# Each step needs the one before it to have passed.
previous=""
for name in $steps; do
    [ "$name" = "$step" ] && break
    previous=$name
done
if [ -n "$previous" ] && [ "$step" != signing ]; then
    [ -f "$work/passed.$previous" ] || fail "step '$previous' did not pass"
fi
rm -f "$work/passed.$step"
[ "$step" != packages ] || rm -f "$work"/passed.*

case "$step" in
packages)
    rm -rf "$work/packages" && mkdir -p "$work/packages/older"
    bash "$source/installer/make-package.sh" "$version" "$work/packages/current.msi" "$idl" \
        "$library" "$automation" "$cli" >/dev/null
    # The older version's files differ from this build's (a PE file takes trailing bytes), so that the
    # upgrade shows which files it left.
    for file in "$library" "$automation" "$cli"; do
        cp "$file" "$work/packages/older/"
        printf 'older build' >>"$work/packages/older/$(basename "$file")"
    done
    (cd "$work/packages/older" && bash "$source/installer/make-package.sh" "$older" "$work/packages/older.msi" \
        "$idl" QarSldwInterface_x64.dll QarSldwAutomation_x64.dll qarsldw.exe >/dev/null)
    ;;
install)
    # The add-in's folder exists before the library is installed into it, as at a customer's.
    rm -rf "$prefix/drive_c/CAD Add-ins"
    mkdir -p "$unix_folder"
    cp "$addin" "$unix_folder/"
    cp -r "$source/tests/data/language/." "$unix_folder/"
    # Windows Script Host registers its type library at its first run: that run goes before the
    # snapshot, so that the session's run leaves no trace of its own.
    printf 'WScript.Echo 1\n' >"$work/warm.vbs"
    run cscript.exe //nologo "$(winpath "$work/warm.vbs")" >/dev/null
    snapshot before
    msiexec /i "$(winpath "$work/packages/older.msi")" /qn "INSTALLDIR=$folder\\" || fail "install"
    (cd "$work/packages/older-files" && same_files QarSldwInterface_x64.dll QarSldwAutomation_x64.dll qarsldw.exe)
    [ "$(installed_value InstallDir)" = "$folder\\" ] || fail "InstallDir recorded: $(installed_value InstallDir)"
    [ "$(products | awk '{print $2}')" = "$older" ] || fail "products: $(products)"
    ;;
upgrade)
    # No INSTALLDIR: the package finds the folder the older one recorded.
    msiexec /i "$(winpath "$work/packages/current.msi")" /qn || fail "upgrade"
    [ "$(products | wc -l)" -eq 1 ] || fail "one product expected: $(products)"
    [ "$(products | awk '{print $2}')" = "$version" ] || fail "products: $(products)"
    (cd "$work/packages/current-files" && same_files QarSldwInterface_x64.dll QarSldwAutomation_x64.dll qarsldw.exe)
    [ "$(installed_value Version)" = "$version" ] || fail "Version recorded: $(installed_value Version)"
    [ ! -e "$prefix/drive_c/Program Files/QarSldwInterface" ] || fail "the upgrade used the default folder"
    ;;
doctor)
    code=0
    output=$(cd "$unix_folder" && run qarsldw.exe doctor 2>&1) || code=$?
    echo "$output"
    [ $code -eq 0 ] || fail "doctor exit code $code"
    for line in "ok       installation: QarSldwInterface $version in $folder\\" \
                "ok       automation: QarSldw.Connector -> $folder\\QarSldwAutomation_x64.dll (this installation)" \
                "ok       add-in: $folder\\BrivexSw18_x64.dll" \
                "ok       language: $folder\\en-us\\dd_3.xml"; do
        grep -qF -- "$line" <<<"$output" || fail "doctor printed no line: $line"
    done
    # Without the add-in (the package never carries it): a warning that names the folder.
    mv "$unix_folder/BrivexSw18_x64.dll" "$work/BrivexSw18_x64.dll"
    output=$(cd "$unix_folder" && run qarsldw.exe doctor 2>&1) || true
    mv "$work/BrivexSw18_x64.dll" "$unix_folder/"
    grep -qF -- "warning  add-in: $folder\BrivexSw18_x64.dll is missing
         fix: install the add-in into $folder\ (this installation's folder)" <<<"$output" ||
        fail "doctor without the add-in: $output"
    ;;
session)
    rm -rf "$work/samples" && cp -r "$source/simulator/samples" "$work/samples"
    code=0
    output=$(run cscript.exe //nologo "$(winpath "$source/tests/data/automation/session.vbs")" \
        "$(winpath "$work/samples")" 2>&1 | tr -d '\r') || code=$?
    echo "$output"
    [ $code -eq 0 ] || fail "cscript exit code $code"
    for line in "connected: True" "depends on: " "saved: " "released" "error 800401F3 from QarSldw.Connector" \
                "error 80040201 from QarSldw.Connector"; do
        grep -qF -- "$line" <<<"$output" || fail "the session printed no line: $line"
    done
    ;;
downgrade)
    snapshot upgraded
    code=0
    msiexec /i "$(winpath "$work/packages/older.msi")" /qn || code=$?
    # 1603 (fatal error), which Wine reports cut to 8 bits.
    [ $code -eq 1603 ] || [ $code -eq 67 ] || fail "downgrade: exit code $code, 1603 expected"
    # Windows logs the launch condition's message; Wine 8 logs only that the condition failed, with the
    # newer product found.
    grep -q "A newer version of QarSldwInterface is already installed" "$work/msiexec-$step.log" ||
        { grep -q "WIX_DOWNGRADE_DETECTED = {" "$work/msiexec-$step.log" &&
          grep -q "Action ended .*: LaunchConditions. Return value 0." "$work/msiexec-$step.log"; } ||
        fail "downgrade: not refused by the launch condition"
    snapshot refused
    # Windows Installer's own trace of the refused attempt is all that may differ.
    diff "$work/upgraded.files" "$work/refused.files" || fail "downgrade: files changed"
    diff <(without_wine_changes "$work/upgraded.reg") <(without_wine_changes "$work/refused.reg") ||
        fail "downgrade: registry changed"
    ;;
registration)
    # The package's keys, then the same keys after regsvr32 /u (which deletes only keys carrying the
    # server's mark: all of the package's) and regsvr32 of the installed module.
    # The identifier of the uuid(...) attribute before the IDL line that starts with $1.
    uuid_before() { awk -v what="$1" '/uuid\(/ { u = $0 } index($0, what) == 1 { print u; exit }' "$idl" |
        grep -o '[0-9A-F]\{8\}-[0-9A-F-]\{27\}'; }
    export_keys() {
        local key
        : >"$work/$1.keys"
        for key in "CLSID\\{$(uuid_before '    coclass Connector')}" QarSldw.Connector.1 QarSldw.Connector \
                   "TypeLib\\{$(uuid_before 'library QarSldwAutomation')}" \
                   "Interface\\{$(uuid_before 'interface IQarConnector')}" \
                   "Interface\\{$(uuid_before 'interface IQarCommand')}"; do
            run reg export "HKLM\\Software\\Classes\\$key" "$(winpath "$work/key.reg")" /y >/dev/null 2>&1 ||
                { echo "missing: $key" >>"$work/$1.keys"; continue; }
            iconv -f UTF-16LE -t UTF-8 "$work/key.reg" | tr -d '\r' | grep -v '^Windows Registry' >>"$work/$1.keys"
        done
    }
    export_keys package
    grep -q '^missing' "$work/package.keys" && fail "the package wrote no key: $(grep '^missing' "$work/package.keys")"
    (cd "$unix_folder" && run regsvr32 /u /s QarSldwAutomation_x64.dll) || fail "regsvr32 /u"
    export_keys unregistered
    [ "$(grep -c '^missing' "$work/unregistered.keys")" -eq 6 ] || fail "regsvr32 /u left keys of the package"
    (cd "$unix_folder" && run regsvr32 /s QarSldwAutomation_x64.dll) || fail "regsvr32"
    export_keys registered
    diff "$work/package.keys" "$work/registered.keys" || fail "the package's keys differ from DllRegisterServer's"
    ;;
repair)
    rm "$unix_folder/qarsldw.exe"
    run reg delete 'HKLM\Software\Classes\QarSldw.Connector' /f >/dev/null 2>&1
    msiexec /i "$(winpath "$work/packages/current.msi")" REINSTALL=ALL REINSTALLMODE=amus /qn || fail "repair"
    same_files "$work/packages/current-files/qarsldw.exe"
    run reg query 'HKLM\Software\Classes\QarSldw.Connector\CurVer' >/dev/null 2>&1 || fail "repair: no ProgID"
    ;;
remove)
    product=$(products | awk '{print $1}')
    msiexec /x "$product" /qn || fail "remove $product"
    [ -z "$(products)" ] || fail "still installed: $(products)"
    snapshot removed
    # Wine's own change: Windows Installer's cache folder C:\windows\Installer, which Wine 8 creates at
    # the first installation and leaves (empty) after the removal; Windows has it from the start.
    grep -v '^d ./windows/Installer [0-9]*$' "$work/removed.files" >"$work/removed.files.own"
    diff "$work/before.files" "$work/removed.files.own" || fail "removal: files differ from before the install"
    diff <(without_wine_changes "$work/before.reg") <(without_wine_changes "$work/removed.reg") ||
        fail "removal: registry differs from before the install"
    ;;
signing)
    # A throwaway code-signing certificate, its key protected by a password that must never be printed.
    dir="$work/signing"
    rm -rf "$dir" && mkdir -p "$dir/files"
    password="throwaway-$RANDOM$RANDOM"
    openssl req -x509 -newkey rsa:2048 -days 2 -subj "/CN=QarSldwInterface test signing" \
        -addext extendedKeyUsage=codeSigning -passout "pass:$password" \
        -keyout "$dir/key.pem" -out "$dir/cert.pem" 2>/dev/null
    output=$(QAR_SIGN_CERT="$dir/cert.pem" QAR_SIGN_KEY="$dir/key.pem" QAR_SIGN_PASSWORD="$password" \
        bash "$source/installer/make-package.sh" "$version" "$dir/signed.msi" "$idl" "$library" "$automation" "$cli" 2>&1) ||
        fail "signed package: $output"
    grep -qF -- "$password" <<<"$output" && fail "the password appeared in the output"
    grep -q UNSIGNED <<<"$output" && fail "a file stayed unsigned: $output"
    for file in "$dir"/signed-files/* "$dir/signed.msi"; do
        osslsigncode verify -CAfile "$dir/cert.pem" -in "$file" >"$dir/verify.log" 2>&1 ||
            { cat "$dir/verify.log"; fail "verify $file"; }
    done
    # One byte changed inside a signed module (not in its signature) must fail verification.
    altered="$dir/altered.dll"
    cp "$dir/signed-files/QarSldwInterface_x64.dll" "$altered"
    printf 'X' | dd of="$altered" bs=1 seek=4096 conv=notrunc 2>/dev/null
    osslsigncode verify -CAfile "$dir/cert.pem" -in "$altered" >"$dir/verify.log" 2>&1 &&
        fail "an altered signed module passed verification"
    cp "$dir/signed.msi" "$dir/altered.msi"
    printf 'X' | dd of="$dir/altered.msi" bs=1 seek=$(( $(stat -c %s "$dir/signed.msi") / 2 )) conv=notrunc 2>/dev/null
    osslsigncode verify -CAfile "$dir/cert.pem" -in "$dir/altered.msi" >"$dir/verify.log" 2>&1 &&
        fail "an altered signed package passed verification"
    # Without a certificate the build says so.
    output=$(env -u QAR_SIGN_PKCS12 -u QAR_SIGN_CERT -u QAR_SIGN_KEY bash "$source/installer/sign.sh" "$altered")
    grep -q "^UNSIGNED: " <<<"$output" || fail "no UNSIGNED notice: $output"
    ;;
*)
    fail "unknown step $step"
    ;;
esac
touch "$work/passed.$step"
echo "passed: $step"
