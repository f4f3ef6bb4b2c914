#!/usr/bin/env bash
# The window's Qt Test programs, built for Windows, run as .exe under Wine on the offscreen
# platform, one after the other, each with its own time limit.
#
#   wine_qt_tests.sh WINDOWS_BUILD_DIR
#
# Wine drops every QT_* variable, so the platform goes on the command line; with no console
# attached Qt Test writes its plain log to the debugger, so it goes to a file that is read.
set -euo pipefail

win=$(cd "$1" && pwd)
env_file=$win/windows-gui.env
list=$win/windows-qt-tests.txt
[[ -f $env_file && -f $list ]] || { echo "wine-qt-tests: $win has no window build (no Qt for Windows?)" >&2; exit 1; }
# shellcheck source=/dev/null
source "$env_file"
work=$win/wine-qt-tests
wine=${VBF_WINE:-wine}

winpath() { local p=$1; echo "Z:${p//\//\\}"; }

export WINEPREFIX=$win/wine-gui-prefix WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export LC_ALL=C.UTF-8
# The Qt DLLs and the compiler's run-time DLLs are found through Wine's search path.
path="$(winpath "$qt_prefix/bin")"
for d in $dll_dirs; do path+=";$(winpath "$d")"; done
export WINEPATH=$path
export VBF_SOURCE_DIR VBF_SHARED_DIR
VBF_SOURCE_DIR=$(winpath "$source_dir")
VBF_SHARED_DIR=$(winpath "$(cd "$source_dir/.." && pwd)/shared")

stop_wine() {
  timeout 10 wineserver -k >/dev/null 2>&1 || true
  timeout 10 wineserver -w >/dev/null 2>&1 || true
}
trap stop_wine EXIT

rm -rf "$work"
mkdir -p "$work"
if [[ ! -f $WINEPREFIX/system.reg ]]; then
  timeout -k 5 120 "$wine" wineboot -i >"$work/wineboot.out" 2>&1 || {
    echo "wine-qt-tests: wineboot failed (see $work/wineboot.out)" >&2; exit 1; }
fi

started=$(date +%s)
failed=()
total_pass=0 total_fail=0 total_skip=0
while IFS= read -r exe; do
  [[ -n $exe ]] || continue
  name=$(basename "$exe" .exe)
  log=$work/$name.txt
  rc=0
  # Run from the test's own folder, as CTest does on Linux. A program without a GUI
  # refuses -platform; it runs again without it.
  for platform in "-platform offscreen" ""; do
    rc=0
    # shellcheck disable=SC2086
    (cd "$(dirname "$exe")" &&
      timeout -k 5 300 "$wine" "$exe" $platform -o "$(winpath "$log"),txt" \
        >"$work/$name.out" 2>"$work/$name.err") || rc=$?
    grep -aq "Unknown option: '-platform'" "$work/$name.err" || break
  done
  totals=$(grep -a '^Totals:' "$log" 2>/dev/null | tr -d '\r' || true)
  if [[ $rc -eq 0 && -n $totals ]]; then
    echo "wine-qt-tests: PASS $name ($totals)"
  else
    echo "wine-qt-tests: FAIL $name (exit $rc${totals:+, $totals})"
    grep -a -E '^(FAIL!|   Loc:|XPASS)' "$log" 2>/dev/null | tr -d '\r' | head -n 20 || true
    failed+=("$name")
  fi
  if [[ $totals =~ ([0-9]+)\ passed,\ ([0-9]+)\ failed,\ ([0-9]+)\ skipped ]]; then
    ((total_pass += BASH_REMATCH[1], total_fail += BASH_REMATCH[2], total_skip += BASH_REMATCH[3])) || true
  fi
  stop_wine
done <"$list"

echo "wine-qt-tests: $(wc -l <"$list") programs, $total_pass passed, $total_fail failed, $total_skip skipped" \
     "in $(($(date +%s) - started)) s; logs in $work"
if ((${#failed[@]})); then
  echo "wine-qt-tests: failed: ${failed[*]}" >&2
  exit 1
fi
