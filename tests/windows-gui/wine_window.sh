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
export WINEDLLOVERRIDES="mscoree,mshtml="
export LC_ALL=C.UTF-8
winpath() { local p=$1; echo "Z:${p//\//\\}"; }

rm -rf "$work"
mkdir -p "$work" "$shots"

xvfb_pid= sim_pid= app_pid=
stop_wine() {
  timeout 10 wineserver -k >/dev/null 2>&1 || true
  timeout 10 wineserver -w >/dev/null 2>&1 || true
}
stop_pid() {  # pid: TERM, a bounded wait, then KILL
  local pid=$1
  [[ -n $pid ]] || return 0
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}
cleanup() {
  stop_wine
  stop_pid "$app_pid"; app_pid=
  stop_pid "$sim_pid"; sim_pid=
  stop_pid "$xvfb_pid"; xvfb_pid=
}
trap cleanup EXIT
fail() { echo "wine-window: FAIL: $*" >&2; exit 1; }
pass() { echo "wine-window: PASS $*"; }

# --- a virtual X server on a free display ---------------------------------------------------
for n in $(seq 90 140); do
  [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]] && continue
  Xvfb ":$n" -screen 0 1280x900x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 50); do [[ -e /tmp/.X11-unix/X$n ]] && break; sleep 0.1; done
  if kill -0 "$xvfb_pid" 2>/dev/null && [[ -e /tmp/.X11-unix/X$n ]]; then
    export DISPLAY=:$n
    break
  fi
  xvfb_pid=
done
[[ -n ${DISPLAY:-} && -n $xvfb_pid ]] || fail "no virtual X server"

# --- the prefix: a Windows-like desktop of its own, COM8 on the simulator's pty -----------
rm -rf "$WINEPREFIX"
timeout -k 5 120 "$wine" wineboot -i >"$work/wineboot.out" 2>&1 || fail "wineboot (see $work/wineboot.out)"
reg() { timeout -k 5 30 "$wine" reg add "$@" /f >>"$work/reg.out" 2>&1 || fail "reg add $1"; }
reg 'HKLM\Software\Wine\Ports' /v "$port" /t REG_SZ /d "$link"
# A virtual desktop: Wine draws the frames and title bars itself, as Windows would.
reg 'HKCU\Software\Wine\Explorer' /v Desktop /t REG_SZ /d Default
reg 'HKCU\Software\Wine\Explorer\Desktops' /v Default /t REG_SZ /d 1280x900
# Wine has no Arial, and without one it falls back to a math font whose line height leaves
# the identifier fields blank. Liberation Sans (fonts-liberation) has Arial's metrics.
reg 'HKCU\Software\Wine\Fonts\Replacements' /v Arial /t REG_SZ /d 'Liberation Sans'
stop_wine

# --- the zip, unpacked as a user would ----------------------------------------------------
(cd "$work" && cmake -E tar xf "$zip")
app_dir=$(find "$work" -mindepth 2 -maxdepth 2 -name vorna-base-flasher.exe -printf '%h\n' | head -n 1)
[[ -n $app_dir ]] || fail "the zip holds no vorna-base-flasher.exe"

# The image a moved file leaves in flash from 0x08000800: the largest real file (209 KiB),
# so that the flash takes long enough to be pictured on its way.
objcopy -I ihex -O ihex --change-addresses 0x800 "$hexdir/stm32f103-marlin-objcopy.hex" "$work/firmware.hex"
objcopy -I ihex -O binary --gap-fill 0xff "$work/firmware.hex" "$work/firmware.bin"

start_sim() {
  "$sim" --link "$link" --keys "$keys" --quiet --idle-timeout 300 --dump "$work/flash.dump" \
    >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  for _ in $(seq 100); do [[ -s $work/sim.out && -L $link ]] && return 0; sleep 0.05; done
  fail "the simulated module did not start"
}

# --- 1. the program from the zip shows its window ---------------------------------------------
start_sim
(cd "$app_dir" && exec "$wine" vorna-base-flasher.exe >"$work/app.out" 2>"$work/app.err") &
app_pid=$!
shown=0
for _ in $(seq 120); do
  if xwininfo -root -tree 2>/dev/null | grep -q '"Vorna-Base Flasher'; then shown=1; break; fi
  sleep 0.5
done
sleep 2
import -window root "$shots/0-zip-exe.png" 2>"$work/import.err" || true
[[ $shown == 1 ]] || { xwininfo -root -tree >"$work/windows.txt" 2>&1 || true; fail "no window (see $work/windows.txt)"; }
pass "vorna-base-flasher.exe from the zip shows its window ($shots/0-zip-exe.png)"
stop_wine
stop_pid "$app_pid"; app_pid=
stop_pid "$sim_pid"; sim_pid=

# --- 2. the flash, driven from inside ----------------------------------------------------------
# The driver beside the program, with the one DLL it adds (Qt Test's); the rest it takes
# from the zip's folder, as the program does.
cp "$driver" "$qt_prefix/bin/Qt6Test.dll" "$app_dir/"
rm -f "$work/flash.dump"
start_sim
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

[[ -f $work/flash.dump ]] || fail "no flash dump"
size=$(stat -c %s "$work/firmware.bin")
cmp -s -n "$size" "$work/firmware.bin" <(tail -c +$((0x800 + 1)) "$work/flash.dump") ||
  fail "the flash differs from the image"
[[ $(od -An -tx1 -v -j $((0x7E0)) -N 32 "$work/flash.dump" | tr -d ' \n') == "$keys" ]] ||
  fail "the identifiers in flash changed"
pass "Flash: check mark, $size bytes byte-exact at 0x08000800, identifiers kept"
ls "$shots"
