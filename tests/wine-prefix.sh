#!/usr/bin/env bash
# wine-prefix.sh PREFIX LINK: a Wine prefix (made once) whose COM5 is the Unix path LINK, so a
# test points LINK at its own pseudo-terminal. Wine lists COM5 in SERIALCOMM after a restart.
set -euo pipefail
export WINEPREFIX="$1" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
[ -f "$WINEPREFIX/system.reg" ] || wineboot --init </dev/null >/dev/null 2>&1
wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /t REG_SZ /d "$2" /f >/dev/null
wineserver -k || true
wineserver -w
wine reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' | grep -q 'REG_SZ *COM5\b' ||
    { echo "Wine does not list COM5"; exit 1; }
