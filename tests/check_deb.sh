#!/usr/bin/env bash
# check_deb.sh SOURCE BUILD: scripts/package refuses to build without an image, and the package of
# a build without one says it carries a test payload, names its plugins, starts and passes lintian.
set -euo pipefail
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
fail() { echo "$*"; exit 1; }

"$1/scripts/package" </dev/null 2>"$out/refusal" && fail "scripts/package built without an image"
grep -q -- "--image /path/to/QX-LP4R-V1.3.7.bin" "$out/refusal" || fail "$(cat "$out/refusal")"
# An image that is plainly a mistake is refused in one line, and no package is left behind.
: >"$out/QX-LP4R-V1.3.7.bin"
"$1/scripts/package" --image "$out/QX-LP4R-V1.3.7.bin" </dev/null >"$out/refusal" 2>&1 &&
    fail "scripts/package built from an empty image"
grep -q "^mkpackage: firmware image $out/QX-LP4R-V1.3.7.bin is empty" "$out/refusal" ||
    fail "$(tail -5 "$out/refusal")"
! ls "$1"/qx-lp4r-updater_1.3.7_*.deb 2>/dev/null || fail "a package was left behind"

cpack --config "$2/CPackConfig.cmake" -B "$out" >"$out/log" 2>&1 || fail "$(cat "$out/log")"
deb=$(ls "$out"/qx-lp4r-updater-test-payload_1.3.7_*.deb) || fail "no test-payload package"
fields="$(dpkg-deb -f "$deb" Description Depends)" # read whole: grep -q would cut a pipe short
grep -q "generated test payload, not device firmware" <<<"$fields" || fail "Description"
grep -q "qt6-qpa-plugins" <<<"$fields" || fail "Depends lacks the platform plugins"
dpkg-deb -x "$deb" "$out/root"
grep -qx "Exec=qx-lp4r-updater --bench" "$out/root/usr/share/applications/qx-lp4r-bench.desktop" ||
    fail "no desktop entry for the bench window"
# The unpacked program starts, keeps running until stopped, and names what it carries.
status=0
QT_QPA_PLATFORM=offscreen timeout 2 "$out/root/usr/bin/qx-lp4r-updater" 2>"$out/err" || status=$?
[ "$status" -eq 124 ] && grep -q "380929 bytes in 372 blocks, a GENERATED TEST PAYLOAD" "$out/err" ||
    fail "exit $status: $(cat "$out/err")"
lintian "$deb" | tee "$out/lintian"
! grep -q '^E:' "$out/lintian" || fail "lintian reports errors"
