#!/bin/sh
# The README's main command (make demo): registers the simulated CAD application in a private Wine
# prefix of its own and runs qarsldw through a whole session against it, printing each step.
# Expects a finished build in build/mingw (make demo builds it first).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/mingw"
prefix="$build/wineprefix-demo"
work="$build/demo"
run="$root/cmake/wine-run.sh"
sim="$build/simulator/qarcadsim.exe"
version="SolidWorks 2016"
# The user's language follows LC_ALL under Wine; English unless the caller chose another. The locale
# must exist on this machine (a fresh Debian has only C.UTF-8; without a UTF-8 locale Wine mangles a
# non-ASCII path), so en_US.UTF-8 only where it is generated; C.UTF-8 runs Wine in English too.
if [ -z "${LC_ALL:-}" ]; then
    LC_ALL=C.UTF-8
    locale -a 2>/dev/null | grep -qix 'en_US\.utf-\?8' && LC_ALL=en_US.UTF-8
fi
export LC_ALL
# The simulated application ends with its last client; the cap ends it if something is left behind.
export QARCADSIM_LIFETIME=120

step() { printf '\n== %s\n' "$*"; }

step "Wine prefix $prefix"
sh "$root/cmake/wine-prefix.sh" start "$prefix"
cleanup() {
    (cd "$build" && "$run" "$prefix" regsvr32 /u /s QarSldwAutomation_x64.dll </dev/null >/dev/null 2>&1) || true
    "$run" "$prefix" "$sim" /unregserver /machine </dev/null >/dev/null 2>&1 || true
    sh "$root/cmake/wine-prefix.sh" stop "$prefix"
}
trap cleanup EXIT

step "Register the simulated CAD application ($version)"
"$run" "$prefix" "$sim" /regserver /machine "/version:$version" </dev/null
echo "registered qarcadsim.exe"

step "Register the automation server (regsvr32, machine-wide: Wine ignores per-user classes)"
# Wine's regsvr32 takes the module's name in its folder, not a Unix path.
(cd "$build" && "$run" "$prefix" regsvr32 /s QarSldwAutomation_x64.dll </dev/null)
echo "registered QarSldwAutomation_x64.dll"

# A scratch folder with the sample documents and the session script; relative paths in the script
# resolve there.
rm -rf "$work"
mkdir -p "$work"
cp -r "$root/simulator/samples" "$work/"
cp "$root/tools/qarsldw/demo-session.txt" "$work/session.txt"
cd "$work"

step "qarsldw doctor --version \"$version\""
"$run" "$prefix" "$build/qarsldw.exe" doctor --version "$version" </dev/null

step "qarsldw versions"
"$run" "$prefix" "$build/qarsldw.exe" versions </dev/null

step "qarsldw run session.txt --version \"$version\""
sed 's/^/    | /' session.txt
"$run" "$prefix" "$build/qarsldw.exe" run session.txt --version "$version" </dev/null

step "The same session from VBScript through the automation server (cscript session.vbs)"
cp "$root/tests/data/automation/session.vbs" "$work/"
# Wine's drive Z: is the Linux root.
"$run" "$prefix" cscript.exe //nologo session.vbs "$(printf 'Z:%s' "$work/samples" | tr '/' '\\')" </dev/null

step "Unregister and stop the prefix's wineserver"
