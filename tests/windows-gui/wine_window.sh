#!/usr/bin/env bash
# The window for Windows under Wine, on a virtual X server, with the `windows` platform,
# against the simulated module behind a COM port that a Wine prefix of our own maps to its
# pty. Everything runs from the unpacked zip, so its DLL set is what is proven here.
#
#   wine_window.sh WINDOWS_BUILD_DIR MODULE_SIM REAL_HEX_DIR SHOTS_DIR
#
# 1. vorna-base-flasher.exe starts and shows its window (a picture of the screen is taken);
# 2. the driver (the same start-up and window, clicked from inside) picks the port, connects
#    and shows the identifiers, opens a real file moved to 0x08000800 and flashes it; the
#    check mark shows, and the simulator's flash dump holds the image byte for byte with the
#    identifiers kept. About and Licenses are pictured as Wine draws them.
# Every process started here is ended by its PID or by its own bounded timeout.
set -euo pipefail

win=$(cd "$1" && pwd)
sim=$2
hexdir=$3
shots=$(mkdir -p "$4" && cd "$4" && pwd)
# shellcheck source=/dev/null
source "$win/windows-gui.env"
work=$win/wine-window
port=COM8  # never COM1-COM4: a new prefix maps those to the host's serial ports
link=$work/com8
keys=0011223344556677a1a2a3a4a5a6a7a8f0e1d2c3b4a5968778695a4b3c2d1e0f
wine=${VBF_WINE:-wine}

for f in "$zip" "$driver" "$qt_prefix/bin/Qt6Test.dll" "$hexdir/stm32f103-marlin-objcopy.hex"; do
  [[ -f $f ]] || { echo "wine-window: missing $f" >&2; exit 1; }
done
[[ -x $sim ]] || { echo "wine-window: missing simulated module $sim" >&2; exit 1; }

export WINEPREFIX=$win/wine-window-prefix WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=,winemenubuilder.exe=d"
export LC_ALL=C.UTF-8
tag=wine-window
# shellcheck source=tests/windows-gui/wine_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/wine_common.sh"

rm -rf "$work"
mkdir -p "$work" "$shots"
trap stop_all EXIT
private_home

start_xvfb
new_prefix "$port" desktop

# --- the zip, unpacked as a user would ----------------------------------------------------
(cd "$work" && cmake -E tar xf "$zip")
app_dir=$(find "$work" -mindepth 2 -maxdepth 2 -name vorna-base-flasher.exe -printf '%h\n' | head -n 1)
[[ -n $app_dir ]] || fail "the zip holds no vorna-base-flasher.exe"

# The image a moved file leaves in flash from 0x08000800: the largest real file (209 KiB),
# so that the flash takes long enough to be pictured on its way.
moved_image "$hexdir/stm32f103-marlin-objcopy.hex" "$work/firmware.hex" "$work/firmware.bin"

# --- 1. the program from the zip shows its window ---------------------------------------------
start_sim "$work/flash.dump"
(cd "$app_dir" && exec "$wine" vorna-base-flasher.exe >"$work/app.out" 2>"$work/app.err") &
app_pid=$!
shown=0
wait_window 'Vorna-Base Flasher' && shown=1
sleep 2
import -window root "$shots/0-zip-exe.png" 2>"$work/import.err" || true
[[ $shown == 1 ]] || fail "no window (see $work/windows.txt)"
pass "vorna-base-flasher.exe from the zip shows its window ($shots/0-zip-exe.png)"
stop_wine
stop_pid "$app_pid"; app_pid=
stop_pid "$sim_pid"; sim_pid=

# --- 2. the flash, driven from inside ----------------------------------------------------------
# The driver beside the program, with the one DLL it adds (Qt Test's); the rest it takes
# from the zip's folder, as the program does.
cp "$driver" "$qt_prefix/bin/Qt6Test.dll" "$app_dir/"
rm -f "$work/flash.dump"
start_sim "$work/flash.dump"
rc=0
(cd "$app_dir" && timeout -k 5 300 "$wine" window_driver.exe "$port" "$(winpath "$work/firmware.hex")" \
   "$(winpath "$shots")" >"$work/driver.out" 2>"$work/driver.err") || rc=$?
sed -i 's/\r$//' "$work/driver.out"
cat "$work/driver.out"
[[ $rc == 0 ]] || fail "the driver reports failures (exit $rc; see $work/driver.out, $work/driver.err)"
grep -q "^devEUI: ${keys:0:16}\$" "$work/driver.out" || fail "the window shows another DevEUI"
grep -q "^joinEUI: ${keys:16:16}\$" "$work/driver.out" || fail "the window shows another JoinEUI"
grep -q "^appKey: ${keys:32:32}\$" "$work/driver.out" || fail "the window shows another AppKey"
pass "Connect shows the identifiers"
stop_wine
stop_pid "$sim_pid"; sim_pid=  # the simulator writes its dump on the way out

check_dump "$work/flash.dump" "$work/firmware.bin" "Flash"
size=$(stat -c %s "$work/firmware.bin")
pass "Flash: check mark, $size bytes byte-exact at 0x08000800, identifiers kept"
ls "$shots"
