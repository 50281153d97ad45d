#!/usr/bin/env bash
# The Debian package of a build without a firmware image: it must say that it carries a test
# payload, hold its files, name its dependencies, start, and pass lintian; and scripts/package
# must refuse to build a package when given no image.   check_deb.sh SOURCE BUILD
set -euo pipefail
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
fail() { echo "$*"; exit 1; }

"$1/scripts/package" </dev/null 2>"$out/refusal" && fail "scripts/package built without an image"
grep -q -- "--image /path/to/QX-LP4R-V1.3.7.bin" "$out/refusal" || fail "$(cat "$out/refusal")"

cpack --config "$2/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1 || fail "$(cat "$out/cpack.log")"
deb=$(ls "$out"/qx-lp4r-updater-test-payload_1.3.7_*.deb) || fail "no test-payload package"
dpkg-deb -f "$deb" Description | grep -q "generated test payload, not device firmware" ||
    fail "the description does not say it is a test build"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt6widgets6 libqt6serialport6 qt6-qpa-plugins; do
    grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib"
done
dpkg-deb -x "$deb" "$out/root"
for f in usr/bin/qx-lp4r-updater usr/share/applications/qx-lp4r-updater.desktop \
    usr/share/icons/hicolor/scalable/apps/qx-lp4r-updater.svg usr/share/man/man1/qx-lp4r-updater.1.gz \
    usr/share/doc/qx-lp4r-updater-test-payload/{copyright,changelog.gz}; do
    [ -f "$out/root/$f" ] || fail "missing: $f"
done

# The unpacked program starts, keeps running until stopped, and names what it carries.
status=0
QT_QPA_PLATFORM=offscreen timeout 2 "$out/root/usr/bin/qx-lp4r-updater" 2>"$out/stderr" || status=$?
[ "$status" -eq 124 ] || fail "the program exited with $status: $(cat "$out/stderr")"
grep -q "QX-LP4R-V1.3.7.bin, 380929 bytes in 372 blocks, a GENERATED TEST PAYLOAD" "$out/stderr" ||
    fail "start-up did not name the test payload: $(cat "$out/stderr")"

lintian "$deb" | tee "$out/lintian"
! grep -q '^E:' "$out/lintian" || fail "lintian reports errors"
