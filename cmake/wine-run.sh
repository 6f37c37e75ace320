#!/bin/sh
# Runs a Windows program under Wine in the build tree's private prefix.
# Usage: wine-run.sh PREFIX PROGRAM [ARGS...]   (CTest's cross-compiling emulator)
prefix=$1
shift
export WINEPREFIX="$prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
exec /usr/lib/wine/wine64 "$@"
