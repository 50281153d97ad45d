# Shared by scripts/run, scripts/test and scripts/bench: install what is missing, configure, build.
# Sourced, not run.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export DEBIAN_FRONTEND=noninteractive

# What building, running and testing the updater needs on Debian 12.
QX_PACKAGES=(
    cmake ninja-build g++
    qt6-base-dev qt6-serialport-dev
    libqt6sql6-psql     # the shared record's PostgreSQL driver
    qt6-qpa-plugins     # xcb and offscreen platforms
    fonts-wqy-zenhei    # Chinese texts
    fonts-liberation2   # metric-compatible stand-in for Arial
)
# What the tests and the Debian package need besides.
QX_TEST_PACKAGES=(
    dpkg-dev file       # dpkg-shlibdeps for CPack
    lintian
    dbus-daemon         # a private bus for the stand-in logind
    xdotool             # real input events for the Windows program under Wine, and windows' titles
    xvfb xauth          # a display for the release test's windows and the Windows leg
    tesseract-ocr       # reads back what the Windows program shows
    postgresql-15       # a private server for the shared record's tests (initdb, pg_ctl)
    systemd             # systemd-analyze verifies the station's unit
    osslsigncode gpg openssl  # signing a release (scripts/package --sign-with, --gpg-key)
)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo -n "$@"; fi
}

install_missing() {
    local missing=() p
    for p in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$p")
        fi
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing: ${missing[*]}"
        as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q </dev/null
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" </dev/null
    fi
}

# build_tree DIR [cmake options...]: configure once, then build incrementally.
build_tree() {
    local dir="$1"; shift
    if [ ! -f "$dir/build.ninja" ]; then
        cmake -S "$ROOT" -B "$dir" -G Ninja "$@"
    fi
    cmake --build "$dir" --parallel "$(nproc)"
}

source "$ROOT/scripts/win-toolchain.sh"

# build_win_tree DIR [cmake options...]: the Windows program, cross-built against the toolchain
# (ensure_win_qt first) with build-time tools from the native tree build/.
build_win_tree() {
    local dir="$1"; shift
    cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$QX_WIN_QT/lib/cmake/Qt6/qt.toolchain.cmake" \
        -DQT_CHAINLOAD_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
        -DQX_NATIVE_TREE="$ROOT/build" -DQX_SIGN_SCRIPT= "$@" >/dev/null
    cmake --build "$dir" --parallel "$(nproc)"
}
