#!/usr/bin/env bash
# Builds Qt 6.4.2 for 64-bit Windows (mingw-w64, posix threads) from Debian's own source
# packages of qt6-base and qt6-svg, with Debian's Linux Qt of the same version as the host
# tools. Only what the window needs: Core, Gui, Widgets, Concurrent, Test, the windows and
# offscreen platform plug-ins, and Qt SVG for the SVG image-format plug-in that draws the
# style sheet's combo-box arrow.
#
# The result goes to a cache outside the source tree, named by a hash of everything that
# shapes it; an existing complete cache is reused as is. Prints the prefix on its last line.
#
#   build-qt-windows.sh            build unless cached, print the prefix
#   build-qt-windows.sh --cached   print the prefix if it is cached, else fail; never builds
#
# The source is fetched with a private apt configuration (its own source list, lists and
# cache in a scratch folder), so the machine's package sources are never touched.
set -euo pipefail

QT_PACKAGE=qt6-base
QT_DEBIAN_VERSION=6.4.2+dfsg-10
QT_VERSION=6.4.2
SVG_PACKAGE=qt6-svg
SVG_DEBIAN_VERSION=6.4.2-2
DEBIAN_MIRROR=${VBF_DEBIAN_MIRROR:-http://deb.debian.org/debian}
DEBIAN_SUITE=${VBF_DEBIAN_SUITE:-bookworm}
JOBS=${JOBS:-2}
cached_only=0
case "${1:-}" in
  --cached) cached_only=1 ;;
  "") ;;
  *) echo "usage: $0 [--cached]" >&2; exit 2 ;;
esac

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
toolchain=$root/cmake/mingw-w64-x86_64.cmake

for tool in apt-get dpkg-source cmake ninja x86_64-w64-mingw32-g++-posix; do
  command -v "$tool" >/dev/null || { echo "build-qt-windows: $tool is missing (run scripts/setup.sh)" >&2; exit 1; }
done
host_qt_cmake=/usr/lib/x86_64-linux-gnu/cmake
if [ ! -f "$host_qt_cmake/Qt6CoreTools/Qt6CoreToolsConfig.cmake" ]; then
  echo "build-qt-windows: Debian's Linux Qt tools are missing (qt6-base-dev-tools)" >&2
  exit 1
fi
host_qt_version=$(dpkg-query -W -f='${Version}' qt6-base-dev 2>/dev/null || true)
case "$host_qt_version" in
  "$QT_VERSION"*) ;;
  *) echo "build-qt-windows: host Qt is '$host_qt_version', needs $QT_VERSION" >&2; exit 1 ;;
esac

# The configure options are an input of the cache's name, so they live in one place.
qt_options=(
  -G Ninja
  -DCMAKE_BUILD_TYPE=Release
  -DBUILD_SHARED_LIBS=ON
  -DQT_BUILD_EXAMPLES=OFF
  -DQT_BUILD_TESTS=OFF
  -DQT_HOST_PATH=/usr
  -DQT_HOST_PATH_CMAKE_DIR=$host_qt_cmake
  -DFEATURE_pkg_config=OFF
  -DFEATURE_sql=OFF
  -DFEATURE_network=OFF
  -DFEATURE_dbus=OFF
  -DFEATURE_xml=OFF
  -DFEATURE_printsupport=OFF
  # FEATURE_opengl=OFF fails at configure in 6.4; this is the way to leave OpenGL out.
  -DINPUT_opengl=no
  -DFEATURE_vulkan=OFF
  # Debian strips wintab from the source.
  -DFEATURE_tabletevent=OFF
  -DFEATURE_qmake=OFF
  -DFEATURE_zstd=OFF
  -DFEATURE_icu=OFF
  # Bundled copies of the third-party libraries; the cross root has none of them.
  -DFEATURE_system_zlib=OFF
  -DFEATURE_system_pcre2=OFF
  -DFEATURE_system_png=OFF
  -DFEATURE_system_jpeg=OFF
  -DFEATURE_system_harfbuzz=OFF
  -DFEATURE_system_freetype=OFF
  -DFEATURE_system_doubleconversion=OFF
  -DFEATURE_system_textmarkdownreader=OFF
)

compiler_version=$(x86_64-w64-mingw32-g++-posix --version | head -n1)
# What shapes the result: the source package, the options, the compilers and the target
# system the toolchain file names, and the host Qt. The toolchain's other lines (search
# prefixes for our own builds, the emulator) do not.
inputs_hash=$(
  {
    printf '%s\n' "$QT_PACKAGE $QT_DEBIAN_VERSION" "$compiler_version" "$host_qt_version" "${qt_options[@]}"
    grep -E '^[[:space:]]*set\((_mingw|CMAKE_SYSTEM_|CMAKE_(C|CXX|RC)_COMPILER|CMAKE_FIND_ROOT_PATH )' "$toolchain"
    grep -E '^[[:space:]]*set\(CMAKE_FIND_ROOT_PATH_MODE_' "$toolchain"
  } | sha256sum | cut -c1-12
)
cache_home=${VBF_CACHE_HOME:-${XDG_CACHE_HOME:-$HOME/.cache}}
prefix=$cache_home/vorna-base-flasher/qt6-windows-$QT_VERSION-$inputs_hash
stamp=$prefix/.vbf-complete
# Qt SVG goes into the same prefix as a layer of its own, stamped apart: the base is usable
# without it (the window then draws a PNG arrow), and a base without it is not built again.
svg_stamp=$prefix/.vbf-svg-complete

if [ -f "$stamp" ] && { [ -f "$svg_stamp" ] || [ "$cached_only" = 1 ]; }; then
  echo "build-qt-windows: using the cached Qt in $prefix" >&2
  echo "$prefix"
  exit 0
fi
if [ "$cached_only" = 1 ]; then
  echo "build-qt-windows: no Qt for Windows cached in $prefix (make qt-windows builds it)" >&2
  exit 1
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/vbf-qt-windows.XXXXXX")
cleanup() {
  local rc=$?
  rm -rf "$scratch"
  # A half-installed prefix must not look like a cache later.
  if [ "$rc" -ne 0 ] && [ ! -f "$stamp" ]; then rm -rf "$prefix"; fi
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Private apt state: a deb-src list of our own, lists and cache under the scratch folder.
apt_dir=$scratch/apt
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/etc/sources.list.d" "$apt_dir/etc/preferences.d"
cat >"$apt_dir/etc/sources.list" <<EOF
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $DEBIAN_MIRROR $DEBIAN_SUITE main
EOF
apt_opts=(
  -o "Dir::Etc::SourceList=$apt_dir/etc/sources.list"
  -o "Dir::Etc::SourceParts=$apt_dir/etc/sources.list.d"
  -o "Dir::Etc::PreferencesParts=$apt_dir/etc/preferences.d"
  -o "Dir::State::Lists=$apt_dir/lists"
  -o "Dir::Cache=$apt_dir/cache"
  -o "APT::Sandbox::User=$(id -un)"
  -o "Acquire::Languages=none"
)
apt-get "${apt_opts[@]}" -q update >&2

# Fetches a source package and unpacks it with Debian's patches applied into $2.
fetch_source() {
  local package=$1 dest=$2 dir
  dir=$(mktemp -d "$scratch/fetch.XXXXXX")
  mkdir -p "$(dirname "$dest")"
  (cd "$dir" && apt-get "${apt_opts[@]}" -q source --download-only "$package" >&2) || return 1
  dpkg-source --no-check -x "$(ls "$dir"/*.dsc)" "$dest" >&2
  # dpkg-source leaves copies of the tarballs beside the unpacked tree.
  rm -rf "$dir" "$(dirname "$dest")"/*.tar.* "$(dirname "$dest")"/*.dsc
}

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

if [ ! -f "$stamp" ]; then
  echo "build-qt-windows: building Qt $QT_VERSION for Windows into $prefix" >&2
  start=$(date +%s)
  fetch_source "$QT_PACKAGE=$QT_DEBIAN_VERSION" "$scratch/src/qtbase"
  rm -rf "$prefix"
  cmake -S "$scratch/src/qtbase" -B "$scratch/build" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_INSTALL_PREFIX="$prefix" \
    "${launcher[@]}" "${qt_options[@]}" >&2
  cmake --build "$scratch/build" -j"$JOBS" >&2
  cmake --install "$scratch/build" >&2
  rm -rf "$scratch/build" "$scratch/src/qtbase"
  end=$(date +%s)
  {
    echo "qt=$QT_PACKAGE $QT_DEBIAN_VERSION"
    echo "compiler=$compiler_version"
    echo "seconds=$((end - start))"
  } >"$stamp"
  echo "build-qt-windows: Qt base done in $(((end - start) / 60)) min" >&2
fi

# Qt SVG through the toolchain file the new Qt installed (it chains to ours). Its source
# may not be to be had from the mirror; the base stays usable without it, and says so.
if fetch_source "$SVG_PACKAGE=$SVG_DEBIAN_VERSION" "$scratch/src/qtsvg"; then
  cmake -S "$scratch/src/qtsvg" -B "$scratch/build-svg" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$prefix/lib/cmake/Qt6/qt.toolchain.cmake" \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
    "${launcher[@]}" >&2
  cmake --build "$scratch/build-svg" -j"$JOBS" >&2
  cmake --install "$scratch/build-svg" >&2
  test -f "$prefix/plugins/imageformats/qsvg.dll" ||
    { echo "build-qt-windows: Qt SVG built no imageformats/qsvg.dll" >&2; exit 1; }
  echo "svg=$SVG_PACKAGE $SVG_DEBIAN_VERSION" >"$svg_stamp"
else
  echo "build-qt-windows: the source of $SVG_PACKAGE $SVG_DEBIAN_VERSION could not be fetched;" \
    "this Qt has no SVG plug-in, so the Windows window draws its arrow from a PNG" >&2
fi
echo "build-qt-windows: $(du -sh "$prefix" | cut -f1) installed in $prefix" >&2
echo "$prefix"
