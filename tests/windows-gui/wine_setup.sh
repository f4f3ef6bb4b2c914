#!/usr/bin/env bash
# The Windows setup under Wine, in a prefix of our own: installed silently, checked,
# used, installed again over itself, and removed silently.
#
#   wine_setup.sh [--window] WINDOWS_BUILD_DIR MODULE_SIM REAL_HEX_DIR
#
# The build's setup is the whole tool's when it has the window (a Qt for Windows), else
# vorna-flash's alone; --window insists on the whole tool and starts the installed window
# from its Start-menu shortcut on a virtual X server.
#
#  1. a /PATH= the setup does not know stops it before anything is installed;
#  2. /S /PATH=user: the files (exactly the expected set), the Start-menu shortcuts, the
#     uninstall entry with name, publisher, version, icon and size, bin\ on the user's PATH;
#  3. both programs carry the icon and the version resource, read back as Explorer reads them;
#  4. the installed vorna-flash.exe prints the version, also when found through PATH, and
#     flashes the simulated module through COM9 byte-exact; the window shows (--window);
#  5. the setup again over the installed one: one entry, bin\ once on PATH;
#  6. Uninstall.exe /S: no installed file, shortcut, registry key or PATH entry is left
#     (the registry is searched for the product's names), the user's data is;
#  and the host's menus are the same at the end as at the start.
# Every process started here is ended by its PID or by its own bounded timeout.
set -euo pipefail

window=0
if [[ ${1:-} == --window ]]; then window=1; shift; fi
[[ $# == 3 ]] || { echo "usage: $0 [--window] WINDOWS_BUILD_DIR MODULE_SIM REAL_HEX_DIR" >&2; exit 2; }
win=$(cd "$1" && pwd)
sim=$2
hexdir=$3
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
tag=wine-setup
work=$win/wine-setup
port=COM9  # never COM1-COM4: a new prefix maps those to the host's serial ports
link=$work/com9
keys=0011223344556677a1a2a3a4a5a6a7a8f0e1d2c3b4a5968778695a4b3c2d1e0f
wine=${VBF_WINE:-wine}
mingw=${VBF_MINGW_CXX:-x86_64-w64-mingw32-g++-posix}

export WINEPREFIX=$win/wine-setup-prefix WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko prompt, and no menu builder (as far as the override holds; see
# private_home): the shortcuts the setup makes must not become entries in the host's menus.
export WINEDLLOVERRIDES="mscoree,mshtml=,winemenubuilder.exe=d"
export LC_ALL=C.UTF-8
# shellcheck source=tests/windows-gui/wine_common.sh
source "$here/wine_common.sh"

version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$win/CPackConfig.cmake" 2>/dev/null || true)
[[ -n $version ]] || fail "$win is not a configured Windows build"
full=0
if [[ -f $win/windows-gui.env ]]; then
  full=1
  # shellcheck source=/dev/null
  source "$win/windows-gui.env"
  setup=$win/vorna-base-flasher-$version-windows-x64-setup.exe
else
  setup=$win/vorna-flash-$version-windows-x64-setup.exe
fi
[[ $window == 0 || $full == 1 ]] || fail "--window: $win has no window (no Qt for Windows)"
[[ -f $setup ]] || fail "missing $setup (make windows makes it)"
[[ -x $sim ]] || fail "missing simulated module $sim"

rm -rf "$work"
mkdir -p "$work"
trap stop_all EXIT
private_home

# The host's menus, to compare at the end.
menus() {
  find "$host_home/.local/share/applications" "$host_home/.config/menus" \
    "$host_home/.local/share/desktop-directories" "$host_home/.local/share/icons" -printf '%p %s\n' 2>/dev/null |
    sort || true
}
menus >"$work/menus.before"

# Reads a Windows program's version resource and icon as Explorer does.
"$mingw" -municode -O1 -static -Wall -Wextra -o "$work/version_info.exe" "$here/version_info.cpp" -lversion \
  >"$work/version_info.build" 2>&1 || fail "building version_info.exe (see $work/version_info.build)"

# --- the prefix ------------------------------------------------------------------------------------
[[ $window == 1 ]] && start_xvfb
new_prefix "$port" $([[ $window == 1 ]] && echo desktop)
# A user PATH as a Windows machine has one; the uninstall must give it back unchanged.
user_path='C:\Tools;%USERPROFILE%\bin'
reg_add 'HKCU\Environment' /v PATH /t REG_EXPAND_SZ /d "$user_path"
stop_wine
c=$WINEPREFIX/drive_c
inst_win='C:\Program Files\Vorna-Base Flasher'
inst=$c/Program\ Files/Vorna-Base\ Flasher
menu=$c/ProgramData/Microsoft/Windows/Start\ Menu/Programs/Vorna-Base\ Flasher\ Tool
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Vorna-Base Flasher'

run_setup() {  # arguments: sets rc
  rc=0
  timeout -k 5 120 "$wine" "$setup" "$@" >"$work/setup.out" 2>&1 || rc=$?
}
query() {  # key value: the value's data, or nothing
  timeout -k 5 30 "$wine" reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
    sed -n "s/^    $2    REG_[A-Z_]*    //p"
}

# --- 1. an unknown option stops the setup ------------------------------------------------------------
run_setup /S /PATH=everyone
[[ $rc == 2 ]] || fail "/PATH=everyone: exit $rc, want 2"
[[ ! -e $inst ]] || fail "/PATH=everyone left $inst"
[[ -z $(query "$uninstall_key" DisplayName) ]] || fail "/PATH=everyone registered an uninstall entry"
pass "/PATH=everyone: exit 2, nothing installed"

# --- 2. the silent install -------------------------------------------------------------------------
started=$(date +%s.%N)
run_setup /S /PATH=user
[[ $rc == 0 ]] || fail "setup /S: exit $rc (see $work/setup.out)"
took=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')

want=(Uninstall.exe bin/vorna-flash.exe licenses/BSL-1.0.txt licenses/LGPL-3.0.txt licenses/OFL-1.1.txt
      licenses/copyright.txt)
# With the line database, its DLLs beside vorna-flash.exe and their licences.
if grep -q '^VBF_WINDOWS_DB_PREFIX:PATH=.' "$win/CMakeCache.txt"; then
  want+=(bin/libsqlite3-0.dll bin/libpq.dll bin/libssl-3-x64.dll bin/libcrypto-3-x64.dll
         licenses/SQLite-public-domain.txt licenses/OpenSSL-Apache-2.0.txt licenses/PostgreSQL-COPYRIGHT.txt)
fi
if [[ $full == 1 ]]; then
  # The window's folder exactly as the zip holds it, and the licence texts it adds.
  want+=(licenses/License.html licenses/FontAwesome-LICENSE.txt)
  while IFS= read -r f; do want+=("${f#*/}"); done < <(cmake -E tar tf "$zip" | grep -v '/$')
fi
printf '%s\n' "${want[@]}" | sort >"$work/files.want"
(cd "$inst" && find . -type f -printf '%P\n' | sort) >"$work/files.got"
diff -u "$work/files.want" "$work/files.got" >"$work/files.diff" || fail "installed files differ (see $work/files.diff)"
cmp -s "$inst/licenses/copyright.txt" <(sed 's/$/\r/' "$here/../../packaging/copyright") ||
  fail "licenses/copyright.txt is not packaging/copyright with Windows line ends"
pass "setup /S /PATH=user in $took s: $(wc -l <"$work/files.got") files in Program Files, as expected"

shortcuts=(Uninstall.lnk)
[[ $full == 1 ]] && shortcuts+=("Vorna-Base Flasher.lnk")
[[ $(cd "$menu" && ls | sort) == "$(printf '%s\n' "${shortcuts[@]}" | sort)" ]] ||
  fail "the Start menu holds: $(ls "$menu" 2>&1)"
# A shortcut holds its target's full path.
if [[ $full == 1 ]]; then
  grep -aqF "$inst_win\vorna-base-flasher.exe" "$menu/Vorna-Base Flasher.lnk" ||
    fail "the window's shortcut names another program"
fi
grep -aqF "$inst_win\Uninstall.exe" "$menu/Uninstall.lnk" || fail "the uninstall shortcut names another program"
pass "Start menu: ${shortcuts[*]}"

icon=bin\\vorna-flash.exe
[[ $full == 1 ]] && icon=vorna-base-flasher.exe
for entry in "DisplayName=Vorna-Base Flasher Tool" "DisplayVersion=$version" "Publisher=Kembit" \
             "DisplayIcon=$inst_win\\$icon" "UninstallString=\"$inst_win\\Uninstall.exe\"" \
             "NoModify=0x1" "NoRepair=0x1"; do
  got=$(query "$uninstall_key" "${entry%%=*}")
  [[ $got == "${entry#*=}" ]] || fail "uninstall entry ${entry%%=*} is '$got', want '${entry#*=}'"
done
size=$(query "$uninstall_key" EstimatedSize)
kib=$(find "$inst" -type f -printf '%s\n' | awk '{ n += $1 } END { print int(n / 1024) }')
(( size > 0 && size >= kib * 9 / 10 && size <= kib * 11 / 10 + 8 )) ||
  fail "uninstall entry EstimatedSize is $size KiB, the folder holds $kib KiB"
pass "uninstall entry: Kembit, version $version, icon $icon, $((size)) KiB"

[[ $(query 'HKCU\Environment' PATH) == "$user_path;$inst_win\\bin" ]] ||
  fail "the user's PATH is '$(query 'HKCU\Environment' PATH)'"
pass "bin\\ added to the user's PATH"
stop_wine

# --- 3. version resources and icons --------------------------------------------------------------
programs=(bin/vorna-flash.exe)
[[ $full == 1 ]] && programs+=(vorna-base-flasher.exe)
for p in "${programs[@]}"; do
  name=$(basename "$p" .exe)
  rc=0
  timeout -k 5 60 "$wine" "$work/version_info.exe" "$inst_win\\${p//\//\\}" >"$work/$name.version" 2>&1 || rc=$?
  sed -i 's/\r$//' "$work/$name.version"
  [[ $rc == 0 ]] || fail "$p: no version resource or icon ($(cat "$work/$name.version"))"
  numbers=$version
  while [[ $(tr -cd . <<<"$numbers" | wc -c) -lt 3 ]]; do numbers+=.0; done
  for line in "FixedFileVersion: $numbers" "FixedProductVersion: $numbers" "FileVersion: $version" \
              "ProductVersion: $version" "CompanyName: Kembit" "ProductName: Vorna-Base Flasher Tool" \
              "OriginalFilename: $name.exe" "InternalName: $name" "IconSizes: 256 64 48 32 24 16"; do
    grep -qxF "$line" "$work/$name.version" || fail "$p: no '$line' in its version resource (see $work/$name.version)"
  done
  grep -q '^LegalCopyright: Copyright .*Kembit$' "$work/$name.version" || fail "$p: no copyright"
  grep -q '^FileDescription: .' "$work/$name.version" || fail "$p: no description"
  pass "$p: version $version, Kembit, icon 16 to 256 pixels"
done
stop_wine

# --- 4. the installed programs at work ---------------------------------------------------------------
rc=0
timeout -k 5 60 "$wine" "$inst_win\\bin\\vorna-flash.exe" --version >"$work/version.out" 2>&1 || rc=$?
[[ $rc == 0 ]] && grep -q "$version" "$work/version.out" || fail "vorna-flash.exe --version: exit $rc, $(cat "$work/version.out")"
# A new command prompt takes the user's PATH from the registry, as after logging on again.
rc=0
timeout -k 5 60 "$wine" cmd /c 'vorna-flash --version' >"$work/path.out" 2>&1 || rc=$?
[[ $rc == 0 ]] && grep -q "$version" "$work/path.out" || fail "vorna-flash through PATH: exit $rc, $(cat "$work/path.out")"
pass "vorna-flash.exe --version prints $version, also found through PATH"

real=$hexdir/stm32f103-bluepill-objcopy.hex
if [[ ! -f $real ]]; then
  # Other toolchains' builds are not at hand: an objcopy-made image of the same size.
  head -c 584 /dev/urandom >"$work/stand-in.bin"
  objcopy -I binary -O ihex --change-addresses 0x08000000 "$work/stand-in.bin" "$work/stand-in.hex"
  real=$work/stand-in.hex
fi
moved_image "$real" "$work/firmware.hex" "$work/firmware.bin"
# The shared Documents: the user's own is a link to the home folder.
documents=$c/users/Public/Documents
start_sim "$work/flash.dump"
rc=0
timeout -k 5 60 "$wine" "$inst_win\\bin\\vorna-flash.exe" flash --port "$port" \
  --log 'C:\users\Public\Documents\bench log.csv' "$(winpath "$work/firmware.hex")" \
  >"$work/flash.out" 2>"$work/flash.err" || rc=$?
stop_wine
stop_pid "$sim_pid"; sim_pid=  # the simulator writes its dump on the way out
[[ $rc == 0 ]] || fail "flash through $port: exit $rc ($(tail -n 3 "$work/flash.err"))"
check_dump "$work/flash.dump" "$work/firmware.bin" "flash through $port"
pass "the installed vorna-flash.exe flashed $(stat -c %s "$work/firmware.bin") bytes through $port byte-exact"

if [[ $window == 1 ]]; then
  # From the Start-menu shortcut, as a user starts it.
  (exec "$wine" start /wait 'C:\ProgramData\Microsoft\Windows\Start Menu\Programs\Vorna-Base Flasher Tool\Vorna-Base Flasher.lnk' \
     >"$work/app.out" 2>"$work/app.err") &
  app_pid=$!
  wait_window 'Vorna-Base Flasher' || fail "the installed window did not show (see $work/windows.txt)"
  sleep 2
  import -window root "$win/shots/0-installed.png" 2>"$work/import.err" || true
  pgrep -f 'Vorna-Base Flasher\\vorna-base-flasher.exe' >/dev/null ||
    fail "the window that showed is not the installed program's"
  pass "the installed window starts from the Start menu and shows ($win/shots/0-installed.png)"
  stop_wine
  stop_pid "$app_pid"; app_pid=
fi

# --- 5. the setup over the installed one ------------------------------------------------------------
run_setup /S /PATH=user
[[ $rc == 0 ]] || fail "setup /S over the installed one: exit $rc"
(cd "$inst" && find . -type f -printf '%P\n' | sort) >"$work/files.again"
diff -u "$work/files.want" "$work/files.again" >"$work/files.diff" || fail "after the second setup, files differ (see $work/files.diff)"
[[ $(query 'HKCU\Environment' PATH) == "$user_path;$inst_win\\bin" ]] ||
  fail "after the second setup the user's PATH is '$(query 'HKCU\Environment' PATH)'"
[[ $(timeout -k 5 30 "$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' | tr -d '\r' |
     grep -c 'Vorna-Base') == 1 ]] || fail "the second setup left two uninstall entries"
pass "setup again over the installed one: same files, one entry, bin\\ once on PATH"

# --- 6. the silent uninstall -------------------------------------------------------------------------
# The user's data: the firmware copy the window keeps, and the bench log written above.
mkdir -p "$c/ProgramData/vorna-base-flasher"
cp "$work/firmware.hex" "$c/ProgramData/vorna-base-flasher/last-flashed.hex"
[[ -f "$documents/bench log.csv" ]] || fail "vorna-flash wrote no bench log"
stop_wine
rc=0
timeout -k 5 60 "$wine" "$inst_win\\Uninstall.exe" /S >"$work/uninstall.out" 2>&1 || rc=$?
[[ $rc == 0 ]] || fail "Uninstall.exe /S: exit $rc"
# The uninstaller runs on from a copy of itself in the temporary folder.
for _ in $(seq 120); do [[ -e $inst ]] || break; sleep 0.5; done
timeout -k 5 60 wineserver -w || true
stop_wine
[[ ! -e $inst ]] || fail "left in Program Files: $(cd "$inst" && find . | head -n 20)"
[[ ! -e $menu ]] || fail "left in the Start menu: $(ls "$menu")"
[[ -z $(query "$uninstall_key" DisplayName) ]] || fail "the uninstall entry is left"
[[ $(query 'HKCU\Environment' PATH) == "$user_path" ]] ||
  fail "the user's PATH is '$(query 'HKCU\Environment' PATH)', was '$user_path'"
stop_wine
# Nowhere in the registry: not the product, not the maker. Wine's own record of the menu files
# its menu builder wrote into this run's home (Software\Wine\MenuFiles) is no part of Windows.
if awk '/^\[/ { wine = index($0, "[Software\\\\Wine\\\\MenuFiles]") == 1 }
        !wine && tolower($0) ~ /vorna-base|kembit/ { print FILENAME ":" FNR ":" $0; found = 1 } END { exit !found }' \
     "$WINEPREFIX"/system.reg "$WINEPREFIX"/user.reg >"$work/registry.left"; then
  fail "the registry still names the product (see $work/registry.left)"
fi
[[ -f $c/ProgramData/vorna-base-flasher/last-flashed.hex && -f "$documents/bench log.csv" ]] ||
  fail "the uninstall removed the user's data"
pass "Uninstall.exe /S: no file, shortcut, registry entry or PATH entry left; the firmware copy and the log kept"

menus >"$work/menus.after"
diff -u "$work/menus.before" "$work/menus.after" >"$work/menus.diff" || fail "the host's menus changed (see $work/menus.diff)"
pass "the host's menus are unchanged"
