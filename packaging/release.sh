#!/usr/bin/env bash
# Gathers what ships into one folder named with the version: the Debian package, the
# Windows zip, the Windows setup and SHA256SUMS over the three. `make release` builds them
# first; this only checks and copies. Either every file is there or the folder is not made.
#
#   release.sh RELEASE_BUILD_DIR WINDOWS_BUILD_DIR OUT_DIR
#
# Prints the folder on its last line.
set -euo pipefail

[[ $# == 3 ]] || { echo "usage: $0 RELEASE_BUILD_DIR WINDOWS_BUILD_DIR OUT_DIR" >&2; exit 2; }
linux=$1 windows=$2 out=$3

# The version each build was configured with, as CPack knows it.
version_of() {
  local config=$1/CPackConfig.cmake
  [[ -f $config ]] || { echo "release: $1 is not configured (no CPackConfig.cmake)" >&2; exit 1; }
  sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$config"
}
version=$(version_of "$linux")
windows_version=$(version_of "$windows")
[[ -n $version ]] || { echo "release: no version in $linux/CPackConfig.cmake" >&2; exit 1; }
[[ $version == "$windows_version" ]] ||
  { echo "release: $linux is version $version but $windows is $windows_version; build both again" >&2; exit 1; }

files=(
  "$linux/vorna-base-flasher_${version}_amd64.deb"
  "$windows/vorna-base-flasher-$version-windows-x64.zip"
  "$windows/vorna-base-flasher-$version-windows-x64-setup.exe"
)
missing=()
for f in "${files[@]}"; do
  [[ -s $f ]] || missing+=("$f")
done
if ((${#missing[@]})); then
  echo "release: not made, these are missing:" >&2
  printf '  %s\n' "${missing[@]}" >&2
  exit 1
fi

folder=$out/vorna-base-flasher-$version
# Made beside the folder and moved into place, so an interrupted run leaves no partial set.
mkdir -p "$out"
staging=$(mktemp -d "$out/.staging.XXXXXX")
trap 'rm -rf "$staging"' EXIT
cp "${files[@]}" "$staging/"
(cd "$staging" && sha256sum -- *.deb *.zip *.exe >SHA256SUMS)
rm -rf "$folder"
mv "$staging" "$folder"
chmod 755 "$folder"
trap - EXIT
(cd "$folder" && ls -l --time-style=+ -- * | awk '{ printf "release: %10d  %s\n", $5, $NF }')
echo "$folder"
