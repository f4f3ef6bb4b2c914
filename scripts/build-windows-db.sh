#!/usr/bin/env bash
# Builds the line database's client libraries for 64-bit Windows (mingw-w64, posix threads)
# from Debian's own source packages: SQLite, and libpq with OpenSSL so that it speaks TLS
# to the server. DLLs, import libraries, headers and the licence texts go into one prefix.
#
# The result goes to a cache outside the source tree, named by a hash of everything that
# shapes it; an existing complete cache is reused as is. Prints the prefix on its last line.
#
#   build-windows-db.sh            build unless cached, print the prefix
#   build-windows-db.sh --cached   print the prefix if it is cached, else fail; never builds
#
# The sources are fetched with a private apt configuration, so the machine's package
# sources are never touched.
set -euo pipefail

SQLITE_PACKAGE=sqlite3=3.40.1-2+deb12u2
OPENSSL_PACKAGE=openssl=3.0.20-1~deb12u2
POSTGRESQL_PACKAGE=postgresql-15=15.18-0+deb12u1
DEBIAN_MIRROR=${VBF_DEBIAN_MIRROR:-http://deb.debian.org/debian}
DEBIAN_SUITE=${VBF_DEBIAN_SUITE:-bookworm}
JOBS=${JOBS:-2}
cached_only=0
case "${1:-}" in
  --cached) cached_only=1 ;;
  "") ;;
  *) echo "usage: $0 [--cached]" >&2; exit 2 ;;
esac

host=x86_64-w64-mingw32
cc=$host-gcc-posix
for tool in apt-get dpkg-source make perl tclsh "$cc" "$host-windres" "$host-dlltool"; do
  command -v "$tool" >/dev/null || { echo "build-windows-db: $tool is missing (run scripts/setup.sh)" >&2; exit 1; }
done

# What the libraries are built with; part of the cache's name.
sqlite_defines=(
  -DSQLITE_THREADSAFE=1 -DSQLITE_DEFAULT_FOREIGN_KEYS=0 -DSQLITE_ENABLE_COLUMN_METADATA
  -DSQLITE_OMIT_LOAD_EXTENSION -DSQLITE_DQS=0
)
openssl_options=(mingw64 shared no-tests no-legacy no-engine no-module)
postgresql_options=(--with-ssl=openssl --without-readline --without-zlib --without-icu --without-ldap --without-gssapi)

compiler_version=$($cc --version | head -n1)
inputs_hash=$(
  printf '%s\n' "$SQLITE_PACKAGE" "$OPENSSL_PACKAGE" "$POSTGRESQL_PACKAGE" "$compiler_version" \
    "${sqlite_defines[@]}" "${openssl_options[@]}" "${postgresql_options[@]}" |
    sha256sum | cut -c1-12
)
cache_home=${VBF_CACHE_HOME:-${XDG_CACHE_HOME:-$HOME/.cache}}
prefix=$cache_home/vorna-base-flasher/windows-db-$inputs_hash
stamp=$prefix/.vbf-complete

if [ -f "$stamp" ]; then
  echo "build-windows-db: using the cached libraries in $prefix" >&2
  echo "$prefix"
  exit 0
fi
if [ "$cached_only" = 1 ]; then
  echo "build-windows-db: no database libraries for Windows cached in $prefix" >&2
  exit 1
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/vbf-windows-db.XXXXXX")
# Run from make (make windows, make test) this script would inherit the outer make's level and
# job server: PostgreSQL's make then takes itself for a sub-make and skips its generated headers.
unset MAKELEVEL MAKEFLAGS MFLAGS

cleanup() {
  local rc=$?
  rm -rf "$scratch"
  # A half-built prefix must not look like a cache later.
  if [ "$rc" -ne 0 ] && [ ! -f "$stamp" ]; then rm -rf "$prefix"; fi
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "build-windows-db: building SQLite, OpenSSL and libpq for Windows into $prefix" >&2
start=$(date +%s)

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
src=$scratch/src
mkdir -p "$src"
unpack() {
  local package=$1 dest=$2 dir
  dir=$(mktemp -d "$scratch/fetch.XXXXXX")
  (cd "$dir" && apt-get "${apt_opts[@]}" -q source --download-only "$package" >&2)
  dpkg-source --no-check -x "$(ls "$dir"/*.dsc)" "$dest" >&2
  rm -rf "$dir" "$src"/*.tar.* "$src"/*.dsc
}

rm -rf "$prefix"
mkdir -p "$prefix/bin" "$prefix/lib" "$prefix/include" "$prefix/share/licenses"

# SQLite: the amalgamation is generated on this machine (tclsh), then built as one DLL.
unpack "$SQLITE_PACKAGE" "$src/sqlite"
(cd "$src/sqlite" && ./configure --disable-tcl >&2 && make sqlite3.c >&2)
"$cc" -O2 -shared "${sqlite_defines[@]}" '-DSQLITE_API=__declspec(dllexport)' \
  "$src/sqlite/sqlite3.c" -o "$prefix/bin/libsqlite3-0.dll" \
  -Wl,--out-implib,"$prefix/lib/libsqlite3.dll.a" >&2
cp "$src/sqlite/sqlite3.h" "$src/sqlite/sqlite3ext.h" "$prefix/include/"
# SQLite is in the public domain: its authors disclaim copyright, and the head of
# sqlite3.h carries their blessing in place of a legal notice.
{
  echo "SQLite $(sed -n 's/^#define SQLITE_VERSION *"\(.*\)"/\1/p' "$src/sqlite/sqlite3.h") is in the public domain."
  echo
  sed -n '2,/^\*\*\*\*\*\*\*\*\*\*/p' "$src/sqlite/sqlite3.h" | sed '$d' | sed 's/^\*\* \{0,1\}//'
} >"$prefix/share/licenses/SQLite-public-domain.txt"
grep -q 'disclaims copyright' "$prefix/share/licenses/SQLite-public-domain.txt"
rm -rf "$src/sqlite"

# OpenSSL: libcrypto and libssl only.
unpack "$OPENSSL_PACKAGE" "$src/openssl"
(cd "$src/openssl" &&
  CC=gcc-posix ./Configure "${openssl_options[@]}" --cross-compile-prefix=$host- \
    --prefix="$prefix" --libdir=lib >&2 &&
  make -j"$JOBS" build_libs >&2 &&
  make install_dev >&2)
cp "$src/openssl/LICENSE.txt" "$prefix/share/licenses/OpenSSL-Apache-2.0.txt"
rm -rf "$src/openssl"

# libpq alone out of PostgreSQL: its headers, the DLL and its import library.
unpack "$POSTGRESQL_PACKAGE" "$src/postgresql"
(cd "$src/postgresql" &&
  ./configure --host=$host CC="$cc" --prefix="$prefix" "${postgresql_options[@]}" \
    CPPFLAGS="-I$prefix/include" LDFLAGS="-L$prefix/lib" >&2 &&
  make -C src/backend generated-headers >&2 &&
  make -C src/include -j"$JOBS" >&2 &&
  make -C src/interfaces/libpq -j"$JOBS" >&2 &&
  make -C src/include install >&2 &&
  make -C src/interfaces/libpq install >&2)
cp "$src/postgresql/COPYRIGHT" "$prefix/share/licenses/PostgreSQL-COPYRIGHT.txt"
rm -rf "$src/postgresql"

for f in bin/libsqlite3-0.dll bin/libpq.dll bin/libcrypto-3-x64.dll bin/libssl-3-x64.dll include/libpq-fe.h include/sqlite3.h; do
  test -f "$prefix/$f" || { echo "build-windows-db: $f was not built" >&2; exit 1; }
done

end=$(date +%s)
{
  printf '%s\n' "$SQLITE_PACKAGE" "$OPENSSL_PACKAGE" "$POSTGRESQL_PACKAGE"
  echo "compiler=$compiler_version"
  echo "seconds=$((end - start))"
} >"$stamp"
echo "build-windows-db: done in $(((end - start) / 60)) min, $(du -sh "$prefix" | cut -f1) installed" >&2
echo "$prefix"
