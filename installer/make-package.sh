#!/bin/bash
# Builds the runtime's MSI package with wixl: stages the files, signs the modules when a certificate is
# configured (installer/sign.sh), builds the package and signs it.
# Usage: make-package.sh VERSION OUTPUT.msi IDL FILE...
#   VERSION   product version: major.minor.patch (what a major upgrade compares)
#   IDL       the automation server's IDL: its class, library and interface identifiers
#   FILE...   QarSldwInterface_x64.dll, QarSldwAutomation_x64.dll, qarsldw.exe
# The staging folder is OUTPUT.msi without ".msi" plus "-files"; the signed modules stay there.
set -euo pipefail
version=$1
output=$(realpath -m "$2")
idl=$3
shift 3
here=$(cd "$(dirname "$0")" && pwd)

# The identifier in the uuid(...) attribute right before "KIND NAME" in the IDL.
uuid_of() {
    awk -v kind="$1" -v name="$2" '
        match($0, /uuid\([0-9A-Fa-f-]+\)/) { last = substr($0, RSTART + 5, RLENGTH - 6) }
        $1 == kind && ($2 == name || $2 == name "{") { print toupper(last); exit }' "$idl"
}
clsid={$(uuid_of coclass Connector)}
libid={$(uuid_of library QarSldwAutomation)}
connector={$(uuid_of interface IQarConnector)}
command={$(uuid_of interface IQarCommand)}
for id in "$clsid" "$libid" "$connector" "$command"; do
    [ ${#id} -eq 38 ] || { echo "make-package: an identifier is missing in $idl" >&2; exit 1; }
done

# The upgrade's exclusive upper bound: the next patch version, so that the same version is replaced.
IFS=. read -r major minor patch <<<"$version"
below=$major.$minor.$((patch + 1))

stage=${output%.msi}-files
rm -rf "$stage"
mkdir -p "$stage" "$(dirname "$output")"
cp "$@" "$stage"/
# Released modules are stripped, as the CMake install strips them, and linked to the debug files the
# build wrote beside them (the SDK carries those): signing comes after, over the stripped bytes.
for module in "$@"; do
    if [ -f "$module.debug" ]; then
        x86_64-w64-mingw32-objcopy --strip-all "--add-gnu-debuglink=$module.debug" "$stage/$(basename "$module")"
    fi
done
(cd "$stage" && bash "$here/sign.sh" *)

# wixl takes file sources relative to the folder it runs in (an absolute File/@Source is refused).
rm -f "$output"
(cd "$stage" && wixl -a x64 -I "$here" -D Version="$version" -D UpgradeBelow="$below" -D Clsid="$clsid" -D Libid="$libid" \
    -D IidConnector="$connector" -D IidCommand="$command" -o "$output" "$here/QarSldwInterface.wxs")
bash "$here/sign.sh" "$output"
echo "package: $output (version $version)"
