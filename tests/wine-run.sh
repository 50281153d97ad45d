#!/usr/bin/env bash
# wine-run.sh TEST.exe DLLDIR...: a Qt Test program under Wine with its DLLs; its log from a file.
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
WINEPATH="$(printf 'Z:%s;' "${@:2}")" wine "$1" -o "$log,txt"
status=$?
cat "$log"
exit $status
