#!/usr/bin/env bash
# wine-run.sh TEST.exe: a Qt Test program under Wine; its log is shown from a file.
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
wine "$1" -o "$log,txt"
status=$?
cat "$log"
exit $status
