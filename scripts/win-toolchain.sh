# The Windows cross toolchain: Debian's MinGW-w64 and Qt 6.4.2 for x86_64-w64-mingw32, built once
# per machine from Debian's own qt6-base source and kept outside the tree. Sourced by setup.sh.

QX_WIN_PACKAGES=(
    g++-mingw-w64-x86-64-posix  # posix threads: Qt needs std::thread
    binutils-mingw-w64-x86-64   # windres for the version resource and icon
    dpkg-dev                    # apt-get source unpacks and patches with dpkg-source
    wine wine64                 # runs the Windows tests
    xvfb xauth                  # a display for the Windows platform plugin under Wine
    nsis                        # the installer (cmake -E tar makes the .zip)
    unixodbc odbc-postgresql    # Wine's odbc32 reaches the host's PostgreSQL ODBC driver
    postgresql-15               # the server the Windows program records into
)

# Only what a Widgets program and its Qt Test programs need, and Qt SQL with its ODBC driver
# alone for the shared record; every third-party library bundled.
QX_WIN_QT_VERSION=6.4.2
QX_WIN_QT_OPTIONS=(
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF
    -DFEATURE_sql_odbc=ON -DFEATURE_sql_sqlite=OFF -DFEATURE_sql_psql=OFF -DFEATURE_sql_mysql=OFF
    -DFEATURE_sql_oci=OFF -DFEATURE_sql_db2=OFF -DFEATURE_sql_ibase=OFF
    -DFEATURE_dbus=OFF -DFEATURE_network=OFF -DFEATURE_concurrent=OFF
    -DFEATURE_xml=OFF -DFEATURE_printsupport=OFF -DFEATURE_vulkan=OFF -DFEATURE_direct2d1_1=OFF
    -DFEATURE_zstd=OFF -DFEATURE_icu=OFF -DFEATURE_pkg_config=OFF -DFEATURE_jpeg=OFF
    -DFEATURE_tabletevent=OFF -DFEATURE_androiddeployqt=OFF
    -DINPUT_opengl=no -DFEATURE_opengl=OFF
    -DFEATURE_system_zlib=OFF -DFEATURE_system_png=OFF -DFEATURE_system_jpeg=OFF
    -DFEATURE_system_freetype=OFF -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_pcre2=OFF
    -DFEATURE_system_doubleconversion=OFF -DFEATURE_system_libb2=OFF
    -DFEATURE_system_sqlite=OFF -DFEATURE_system_textmarkdownreader=OFF
)

# The prefix names the Qt version, the target, and a digest of the options and toolchain file.
win_qt_prefix() {
    local digest
    digest=$( (printf '%s\n' "${QX_WIN_QT_OPTIONS[@]}"; cat "$ROOT/cmake/mingw-w64-x86_64.cmake") |
        sha256sum | cut -c1-10)
    echo "${QX_TOOLCHAIN_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/qx-lp4r}/qt-$QX_WIN_QT_VERSION-x86_64-w64-mingw32-posix-shared-$digest"
}

# Debian's source package of the installed host Qt, so that tools and libraries match.
enable_deb_src() {
    local list=/etc/apt/sources.list.d/qx-deb-src.sources
    [ -f "$list" ] && return 0
    sed -e 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
        as_root tee "$list" >/dev/null
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q </dev/null
}

# ensure_win_qt: builds the toolchain when it is missing; sets QX_WIN_QT to its prefix.
ensure_win_qt() {
    install_missing "${QX_WIN_PACKAGES[@]}"
    QX_WIN_QT="$(win_qt_prefix)"
    [ -f "$QX_WIN_QT/.complete" ] && return 0

    local work="$QX_WIN_QT.work" started=$SECONDS
    echo "=== building Qt $QX_WIN_QT_VERSION for Windows into $QX_WIN_QT (15 to 45 minutes, once)"
    enable_deb_src
    rm -rf "$work" "$QX_WIN_QT"
    mkdir -p "$work"
    local version
    version=$(dpkg-query -W -f='${Version}' qt6-base-dev)
    (cd "$work" && apt-get source -q --download-only "qt6-base=$version" </dev/null &&
        dpkg-source -x qt6-base_*.dsc src >/dev/null)
    cmake -S "$work/src" -B "$work/build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_INSTALL_PREFIX="$QX_WIN_QT" \
        -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        "${QX_WIN_QT_OPTIONS[@]}" >"$work/configure.log"
    # A thousand steps of compiler warnings from Qt's own sources: kept out of the log.
    if ! cmake --build "$work/build" --parallel "$(nproc)" >"$work/build.log" 2>&1; then
        grep -B2 -A20 -m3 'FAILED:' "$work/build.log" || tail -50 "$work/build.log"
        return 1
    fi
    cmake --install "$work/build" >/dev/null
    touch "$QX_WIN_QT/.complete"
    rm -rf "$work"
    echo "=== Qt for Windows built in $((SECONDS - started)) s: $(du -sh "$QX_WIN_QT" | cut -f1)"
}
