#!/usr/bin/env bash
# Builds the Debian package from a build tree, unpacks it and checks its files, its
# dependencies and that the unpacked program starts; lintian must report no errors.
set -euo pipefail
build="$2"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT

cpack --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1 || {
    cat "$out/cpack.log"
    exit 1
}
deb=$(ls "$out"/qx-lp4r-updater_1.3.7_*.deb)
echo "built $(basename "$deb")"
dpkg-deb -x "$deb" "$out/root"
for f in usr/bin/qx-lp4r-updater \
         usr/share/applications/qx-lp4r-updater.desktop \
         usr/share/icons/hicolor/scalable/apps/qx-lp4r-updater.svg \
         usr/share/doc/qx-lp4r-updater/copyright \
         usr/share/doc/qx-lp4r-updater/changelog.gz \
         usr/share/man/man1/qx-lp4r-updater.1.gz; do
    [ -f "$out/root/$f" ] || { echo "missing: $f"; exit 1; }
done
grep -qx 'Name=QX-LP4R Firmware Updater' "$out/root/usr/share/applications/qx-lp4r-updater.desktop"

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libqt6widgets6 libqt6serialport6 libqt6core6 qt6-qpa-plugins; do
    grep -q "$lib" <<<"$depends" || { echo "Depends lacks $lib"; exit 1; }
done

# The unpacked program starts and keeps running until it is stopped.
status=0
QT_QPA_PLATFORM=offscreen timeout 2 "$out/root/usr/bin/qx-lp4r-updater" >/dev/null 2>&1 || status=$?
[ "$status" -eq 124 ] || { echo "the program exited with $status"; exit 1; }

if command -v lintian >/dev/null; then
    report=$(lintian "$deb" 2>&1 || true)
    echo "$report"
    if grep -q '^E:' <<<"$report"; then
        echo "lintian reports errors"
        exit 1
    fi
else
    echo "lintian is not installed"
    exit 1
fi
