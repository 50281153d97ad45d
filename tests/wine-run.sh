#!/usr/bin/env bash
# wine-run.sh TEST.exe: runs a Qt Test program under Wine and shows its log, which Wine does
# not pass on from the program's standard output.
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
wine "$1" -o "$log,txt"
status=$?
cat "$log"
exit $status
