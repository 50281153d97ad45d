#!/usr/bin/env bash
# check_deb.sh SOURCE BUILD: scripts/package refuses to build without an image, and the package of
# a build without one says it carries a test payload, names its plugins, starts and passes lintian.
# Then releases of a made-up firmware 1.4.0: its version everywhere, the same bytes from two
# builds, and an image without a version in its name taken only with one given.
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

# A release of a made-up QX-LP4R-V1.4.0.bin (not a whole number of blocks), built twice in two
# trees: the same bytes, and 1.4.0 wherever the program and the package name their version.
mkdir "$out/image"
head -c 200000 /dev/urandom >"$out/image/QX-LP4R-V1.4.0.bin"
package() { QX_PACKAGE_TREE="$out/$1" QX_PACKAGE_OUT="$out/$2" "$src/scripts/package" "${@:3}" </dev/null; }
src="$1"
package tree1 one --image "$out/image/QX-LP4R-V1.4.0.bin" >"$out/log" 2>&1 || fail "$(tail "$out/log")"
package tree2 two --image "$out/image/QX-LP4R-V1.4.0.bin" >"$out/log" 2>&1 || fail "$(tail "$out/log")"
deb="$out/one/qx-lp4r-updater_1.4.0_$(dpkg --print-architecture).deb"
cmp "$deb" "$out/two/$(basename "$deb")" || fail "two builds of one release differ"
grep -q "^$(sha256sum <"$deb" | cut -d' ' -f1)  $(basename "$deb")$" "$out/one/SHA256SUMS" ||
    fail "SHA256SUMS: $(cat "$out/one/SHA256SUMS")"
[ "$(dpkg-deb -f "$deb" Version)" = 1.4.0 ] || fail "the package's version"
dpkg-deb -x "$deb" "$out/release"
program="$out/release/usr/bin/qx-lp4r-updater"
"$program" --version >"$out/version"
grep -qx "qx-lp4r-updater 1.4.0" "$out/version" || fail "$(cat "$out/version")"
"$program" --help | head -3 | grep -q "TEST BUILD" && fail "a release's --help says it is a test build"
# Its manual page lists the options as its --help does.
zcat "$out/release/usr/share/man/man1/qx-lp4r-updater.1.gz" | grep -q -- '--allow-older' ||
    fail "the manual page does not list the options"
[ -f "$out/release/usr/share/doc/qx-lp4r-updater/station.ini.example" ] ||
    fail "the example profile is not in the package's documents"
grep -qx "firmware image SHA-256 $(sha256sum <"$out/image/QX-LP4R-V1.4.0.bin" | cut -d' ' -f1)" \
    "$out/version" || fail "--version's checksum is not the image's: $(cat "$out/version")"
# A query of a terminal that never answers leaves a record line that names the program's version:
# a pseudo-terminal of script(1)'s, whose other end nobody writes to.
script -qec "tty >'$out/pty'; sleep 30" /dev/null </dev/null >/dev/null &
silent=$!
for _ in $(seq 50); do [ -s "$out/pty" ] && break; sleep 0.1; done
XDG_STATE_HOME="$out/state" "$program" --query "$(cat "$out/pty")" >/dev/null 2>&1 &&
    fail "$(cat "$out/pty") answered"
kill "$silent" 2>/dev/null || true
tail -1 "$out/state/qx-lp4r-updater/service-record.csv" | cut -d, -f15 | grep -qx '1\.4\.0' ||
    fail "the record: $(tail -1 "$out/state/qx-lp4r-updater/service-record.csv")"
# The station's unit: systemd takes it, and its command runs as a user of its own in the group
# that opens serial ports, with only the environment the unit gives it, its record in its state
# folder; SIGINT, the unit's stop signal, ends it with its summary.
unit="$out/release/usr/lib/systemd/system/qx-lp4r-station.service"
[ -f "$unit" ] || fail "the package has no station unit"
sed "s|/usr/bin/qx-lp4r-updater|$program|" "$unit" >"$out/qx-lp4r-station.service"
systemd-analyze verify --man=no "$out/qx-lp4r-station.service" >"$out/verify" 2>&1 &&
    [ ! -s "$out/verify" ] || fail "systemd-analyze: $(cat "$out/verify")"
chmod 755 "$out" && mkdir -m 777 "$out/lib"
read -r -a command <<<"$(sed -n 's|^ExecStart=/usr/bin/qx-lp4r-updater||p' "$unit")"
env -i XDG_STATE_HOME="$out/lib" setpriv --reuid=nobody --regid=nogroup --groups=dialout \
    "$program" "${command[@]}" </dev/null >"$out/station" 2>&1 &
station=$!
for _ in $(seq 100); do grep -q "^station: serving" "$out/station" && break; sleep 0.1; done
kill -INT "$station"
wait "$station" || fail "the station's command: $(cat "$out/station")"
grep -q "^summary: " "$out/station" && [ -d "$out/lib/qx-lp4r-updater" ] ||
    fail "the station's command: $(cat "$out/station")"

# The window's title on a display of its own, with the system's language LANG (title LANG
# ARGUMENTS...): in Simplified Chinese on a Chinese system, else in English; --language decides.
title() {
    env -u LANGUAGE -u LC_ALL -u LC_MESSAGES LANG="$1" QT_QPA_PLATFORM=xcb xvfb-run -a bash -c \
        '"$0" "$@" 2>/dev/null & shown=$!
        id=$(timeout 20 xdotool search --sync --onlyvisible --pid $shown | head -1)
        [ -n "$id" ] && xdotool getwindowname "$id"; kill $shown' "$program" "${@:2}"
}
english="Firmware Update - QX-LP4R-V1.4.0"
for row in "C.UTF-8|$english|" "de_DE.UTF-8|$english|" "zh_CN.UTF-8|升级程序|" \
    "zh_TW.UTF-8|$english|" "zh_CN.UTF-8|$english|--language en" "C.UTF-8|升级程序|--language zh" \
    "zh_CN.UTF-8|QX-LP4R 批量升级|--bench" "zh_CN.UTF-8|QX-LP4R Bench|--bench --language en"; do
    IFS='|' read -r lang expected arguments <<<"$row"
    # shellcheck disable=SC2086 # the arguments are words
    shown="$(title "$lang" $arguments)"
    [ "$shown" = "$expected" ] || fail "LANG=$lang $arguments: the window says '$shown'"
done

# An image whose name carries no version is refused without one, in one line, and taken with it.
cp "$out/image/QX-LP4R-V1.4.0.bin" "$out/image/firmware.bin"
package tree1 three --image "$out/image/firmware.bin" >"$out/log" 2>&1 && fail "firmware.bin taken"
[ "$(wc -l <"$out/log")" = 1 ] && grep -q "carries no version: give it with --firmware-version" \
    "$out/log" || fail "$(cat "$out/log")"
package tree1 three --image "$out/image/firmware.bin" --firmware-version 1.4.0 >"$out/log" 2>&1 ||
    fail "$(tail "$out/log")"
[ "$(dpkg-deb -f "$out"/three/qx-lp4r-updater_1.4.0_*.deb Version)" = 1.4.0 ] || fail "firmware.bin"
package tree1 three --image "$out/image/QX-LP4R-V1.4.0.bin" --firmware-version 1.4.1 \
    >"$out/log" 2>&1 && fail "a contradicting version taken"
grep -q "names version 1.4.0, but the release is 1.4.1" "$out/log" || fail "$(tail "$out/log")"
echo "releases: 1.4.0 everywhere, identical twice, checksums, version rules"
