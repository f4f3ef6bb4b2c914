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
export WINEDLLOVERRIDES="mscoree,mshtml=,winemenubuilder.exe=d"
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
runs=0
# run_test EXE [LABEL]: one program, its log read back; the environment is the caller's.
run_test() {
  local exe=$1 name
  name=$(basename "$exe" .exe)${2:+-$2}
  local log=$work/$name.txt rc=0 totals platform
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
  # A program of several test classes writes one log each, FILE.1, FILE.2, ...
  local logs=("$log")
  [[ -f $log ]] || logs=("$log".*)
  local pass=0 fail=0 skip=0 line
  totals=
  while IFS= read -r line; do
    totals=1
    if [[ $line =~ ([0-9]+)\ passed,\ ([0-9]+)\ failed,\ ([0-9]+)\ skipped ]]; then
      ((pass += BASH_REMATCH[1], fail += BASH_REMATCH[2], skip += BASH_REMATCH[3])) || true
    fi
  done < <(cat "${logs[@]}" 2>/dev/null | tr -d '\r' | grep -a '^Totals:' || true)
  totals=${totals:+$pass passed, $fail failed, $skip skipped}
  if [[ $rc -eq 0 && -n $totals ]]; then
    echo "wine-qt-tests: PASS $name ($totals)"
  else
    echo "wine-qt-tests: FAIL $name (exit $rc${totals:+, $totals})"
    cat "${logs[@]}" 2>/dev/null | tr -d '\r' | grep -a -E '^(FAIL!|   Loc:|XPASS)' | head -n 20 || true
    failed+=("$name")
  fi
  ((total_pass += pass, total_fail += fail, total_skip += skip)) || true
  ((runs += 1))
  stop_wine
}

# Wine gives its programs the user language of the Unix locale it starts in.
export VBF_EXPECT_UI_LANGUAGE=en
while IFS= read -r exe; do
  [[ -n $exe ]] || continue
  run_test "$exe"
done <"$list"

# The start-up once more as a German user: a German locale of our own (LOCPATH), so the
# machine's locale set stays as it is.
startup=$(grep -a '/app_startup\.exe$' "$list" || true)
if [[ -n $startup ]]; then
  locales=$work/locales
  mkdir -p "$locales"
  if localedef -i de_DE -f UTF-8 "$locales/de_DE.UTF-8" >"$work/localedef.out" 2>&1; then
    # (bash itself cannot take that locale and says so; Wine can.)
    { LOCPATH=$locales LC_ALL=de_DE.UTF-8 VBF_EXPECT_UI_LANGUAGE=de run_test "$startup" german; } 2>/dev/null
  else
    echo "wine-qt-tests: FAIL app_startup-german (no German locale could be made; see $work/localedef.out)"
    failed+=(app_startup-german)
  fi
fi

echo "wine-qt-tests: $runs runs, $total_pass passed, $total_fail failed, $total_skip skipped" \
     "in $(($(date +%s) - started)) s; logs in $work"
if ((${#failed[@]})); then
  echo "wine-qt-tests: failed: ${failed[*]}" >&2
  exit 1
fi
