#!/usr/bin/env bash
# Runs a Windows program under Wine, quietly and in a prefix of its own.
#
#   cmake/wine-run.sh program.exe [arguments...]
#
# The prefix is $WINEPREFIX when that is set, else build/win32/wineprefix beside this file. It is
# made on first use (a few seconds), with the "null" graphics driver so that hidden windows can be
# created without a display. Several runs may start at once: the first one makes the prefix while
# the others wait for it.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${WINEPREFIX:-$root/build/win32/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
# No downloads of Mono or Gecko, and no dialog asking for them.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export WINEARCH=win32

if [[ ! -f "$WINEPREFIX/.kestrel-ready" ]]; then
    mkdir -p "$(dirname "$WINEPREFIX")"
    exec 9>"$WINEPREFIX.lock"
    flock 9
    if [[ ! -f "$WINEPREFIX/.kestrel-ready" ]]; then
        wineboot --init >/dev/null 2>&1
        wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
        wineserver -w
        touch "$WINEPREFIX/.kestrel-ready"
    fi
    flock -u 9
    exec 9>&-
fi

exec wine "$@"
