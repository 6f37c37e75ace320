#!/bin/sh
# Creates the private Wine prefix on first use and keeps one wineserver warm for a test run.
# Usage: wine-prefix.sh start|stop PREFIX
# Everything Wine starts here writes to /dev/null: Wine's helper processes inherit the stdout of
# the process that started them, and an inherited CTest pipe would keep CTest waiting.
set -eu
action=$1
export WINEPREFIX="$2"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
server=/usr/lib/wine/wineserver

case "$action" in
start)
    if [ ! -f "$WINEPREFIX/.qar-ready" ]; then
        rm -rf "$WINEPREFIX"
        mkdir -p "$WINEPREFIX"
        "$wine" wineboot --init </dev/null >/dev/null 2>&1
        "$server" -w
        # A crashing test must end, not wait in a debugger or a dialog.
        "$wine" reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f \
            </dev/null >/dev/null 2>&1 || true
        "$wine" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
            </dev/null >/dev/null 2>&1
        # Windows that tests create stay off-screen; no display is needed.
        "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f \
            </dev/null >/dev/null 2>&1
        "$server" -w
        touch "$WINEPREFIX/.qar-ready"
    fi
    # A server of this prefix may still be running (a run that was interrupted before its 'stop') or
    # on its way out (a client's server lingers a few seconds after its last process): 'wineserver -p'
    # then only reports that one is running, and the first program started next can meet the old
    # server as it exits and fail at once, or write the registry into a server that is gone. So end it
    # and wait, then start the one server this run uses.
    "$server" -k </dev/null >/dev/null 2>&1 || true
    "$server" -w </dev/null >/dev/null 2>&1 || true
    # Persistent for 10 minutes after the last client as a safety net; 'stop' ends it sooner.
    "$server" -p600 </dev/null >/dev/null 2>&1
    # Start Wine's services now, with their output on /dev/null.
    "$wine" cmd /c exit </dev/null >/dev/null 2>&1
    ;;
stop)
    "$server" -k </dev/null >/dev/null 2>&1 || true
    # -k only asks; a start right after (a rerun) must not meet the old server on its way out.
    "$server" -w </dev/null >/dev/null 2>&1 || true
    ;;
*)
    echo "usage: $0 start|stop PREFIX" >&2
    exit 2
    ;;
esac
