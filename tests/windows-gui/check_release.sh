#!/usr/bin/env bash
# packaging/release.sh on stand-in build folders: the whole set gives one folder named
# with the version whose SHA256SUMS checks; a missing file or builds of two versions give
# an error that names the problem, and no folder.
#
#   check_release.sh RELEASE_SH WORK_DIR
set -euo pipefail

release=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
fail() { echo "check-release: FAIL: $*" >&2; exit 1; }

# A build folder as CPack leaves it: its configuration and its package files.
stand_in() {  # dir version file...
  local dir=$1 version=$2
  shift 2
  mkdir -p "$dir"
  printf 'set(CPACK_PACKAGE_NAME "vorna-base-flasher")\nset(CPACK_PACKAGE_VERSION "%s")\n' "$version" \
    >"$dir/CPackConfig.cmake"
  for f in "$@"; do head -c 4096 /dev/urandom >"$dir/$f"; done
}
run() {  # expected exit, arguments...
  local want=$1
  shift
  rc=0
  "$release" "$@" >"$work/out" 2>"$work/err" || rc=$?
  [[ $rc == "$want" ]] || fail "release.sh $*: exit $rc, want $want; $(cat "$work/err")"
}

# --- the whole set -----------------------------------------------------------------------------
stand_in "$work/linux" 2.3.1 vorna-base-flasher_2.3.1_amd64.deb vorna-base-flasher-dbgsym_2.3.1_amd64.deb
stand_in "$work/win" 2.3.1 vorna-base-flasher-2.3.1-windows-x64.zip vorna-base-flasher-2.3.1-windows-x64-setup.exe \
  vorna-flash-2.3.1-windows-x64-setup.exe
run 0 "$work/linux" "$work/win" "$work/out-dir"
folder=$work/out-dir/vorna-base-flasher-2.3.1
[[ $(tail -n 1 "$work/out") == "$folder" ]] || fail "the folder is not named on the last line"
got=$(cd "$folder" && ls)
want=$'SHA256SUMS\nvorna-base-flasher-2.3.1-windows-x64-setup.exe\nvorna-base-flasher-2.3.1-windows-x64.zip\nvorna-base-flasher_2.3.1_amd64.deb'
[[ $got == "$want" ]] || fail "the folder holds: $got"
(cd "$folder" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not check"
[[ $(wc -l <"$folder/SHA256SUMS") == 3 ]] || fail "SHA256SUMS has $(wc -l <"$folder/SHA256SUMS") lines"
cmp -s "$folder/vorna-base-flasher-2.3.1-windows-x64-setup.exe" "$work/win/vorna-base-flasher-2.3.1-windows-x64-setup.exe" ||
  fail "the setup is not the build's"
[[ -z $(find "$work/out-dir" -name '.staging*') ]] || fail "a staging folder is left"
echo "check-release: PASS the whole set, SHA256SUMS checks"

# A second run replaces the folder rather than adding to it.
echo stale >"$folder/stale.txt"
run 0 "$work/linux" "$work/win" "$work/out-dir"
[[ ! -e $folder/stale.txt ]] || fail "a second run kept an old file"

# --- no setup.exe (a build without the Qt for Windows): refused, naming the file ------------------
rm "$work/win/vorna-base-flasher-2.3.1-windows-x64-setup.exe" "$work/win/vorna-base-flasher-2.3.1-windows-x64.zip"
run 1 "$work/linux" "$work/win" "$work/out-missing"
grep -q 'vorna-base-flasher-2.3.1-windows-x64-setup.exe' "$work/err" || fail "the missing setup is not named"
grep -q 'vorna-base-flasher-2.3.1-windows-x64.zip' "$work/err" || fail "the missing zip is not named"
[[ ! -e $work/out-missing/vorna-base-flasher-2.3.1 ]] || fail "a partial set was made"
echo "check-release: PASS a missing setup and zip are named, nothing is made"

# --- builds of two versions --------------------------------------------------------------------
stand_in "$work/win-old" 2.3.0 vorna-base-flasher-2.3.0-windows-x64.zip vorna-base-flasher-2.3.0-windows-x64-setup.exe
run 1 "$work/linux" "$work/win-old" "$work/out-mixed"
grep -q '2.3.1.*2.3.0' "$work/err" || fail "the two versions are not named: $(cat "$work/err")"
[[ ! -e $work/out-mixed ]] || [[ -z $(ls -A "$work/out-mixed") ]] || fail "a mixed set was made"
echo "check-release: PASS builds of two versions are refused"
