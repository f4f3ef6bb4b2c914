#!/usr/bin/env bash
# Brings a Debian 12 machine to the point where the project builds, tests and runs.
# Idempotent: installs only what is missing, so a second run takes a second.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
top="$(cd "$here/.." && pwd)"
cache="${VBF_CACHE_DIR:-$top/.cache}"

packages=(
  cmake make g++ pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools
  libqt6svg6 qt6-svg-dev libgl-dev libvulkan-dev libxkbcommon-dev
  libasio-dev libserialport-dev libcli11-dev nlohmann-json3-dev
  stm32flash binutils srecord clang lld libclang-rt-14-dev
  help2man gzip dpkg-dev file
  xvfb xauth x11-apps imagemagick fonts-liberation librsvg2-bin
  nodejs npm
  # The Windows build from here and its runs under Wine. The posix thread variant of
  # mingw-w64: the win32 one has no std::thread in GCC 12.
  g++-mingw-w64-x86-64-posix wine64 wine ninja-build
  # The Windows setup: CPack's NSIS generator runs makensis.
  nsis
  # localedef's sources: the window's start-up under Wine is also run as a German user.
  locales
  # The line's database: SQLite embedded, PostgreSQL shared by several stations; the
  # tests start their own PostgreSQL server from the postgresql package.
  libsqlite3-dev libpq-dev postgresql
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done
# A machine may carry its own Node.js outside Debian's packages; that serves as well.
if command -v npm >/dev/null 2>&1; then
  keep=()
  for p in "${missing[@]}"; do [[ "$p" == nodejs || "$p" == npm ]] || keep+=("$p"); done
  missing=("${keep[@]+"${keep[@]}"}")
fi

if ((${#missing[@]})); then
  echo "setup: installing Debian packages: ${missing[*]}"
  if [[ $(id -u) -eq 0 ]]; then
    sudo=()
  elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
    sudo=(sudo)
  else
    echo "setup: these Debian packages are missing and I can neither run apt-get as root nor through sudo:" >&2
    echo "setup:   ${missing[*]}" >&2
    echo "setup: install them with 'sudo apt-get install ${missing[*]}' and run make again." >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -q
  "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The icon font and the combo-box arrow come from the published npm package, pinned
# with its integrity hash in the lock file; npm ci refuses a download that does not match.
fa="$cache/fontawesome"
want="$fa/node_modules/@fortawesome/fontawesome-free"
if [[ ! -f "$want/webfonts/fa-solid-900.ttf" || ! -f "$want/svgs/solid/chevron-down.svg" ]] ||
   ! cmp -s "$here/fontawesome/package-lock.json" "$fa/package-lock.json"; then
  echo "setup: fetching @fortawesome/fontawesome-free 5.15.3"
  mkdir -p "$fa"
  cp "$here/fontawesome/package.json" "$here/fontawesome/package-lock.json" "$fa/"
  (cd "$fa" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
fi
