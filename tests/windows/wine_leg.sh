#!/usr/bin/env bash
# The Windows leg: the Qt-free test programs and vorna-flash.exe run under Wine, the tool
# against the simulated module through a COM port that a Wine prefix of our own maps to
# the simulator's pty.
#
#   wine_leg.sh WINDOWS_BUILD_DIR MODULE_SIM REAL_HEX_DIR
#
# Every process started here is ended by its PID or by its own bounded timeout. The Wine
# server runs in the foreground, started here: a server that made itself a session leader
# would take the simulator's pty as its terminal and a hang-up signal when the simulator ends.
set -euo pipefail

win=$(cd "$1" && pwd)
sim=$2
hexdir=$3
# With a Qt for Windows in the build, Qt's project set-up puts every program in the top folder
# (beside the DLLs); without one each stays in its own folder.
exedir() { if [[ -f $win/$2 ]]; then echo "$win"; else echo "$win/$1"; fi; }
exe=$(exedir tools/vorna-flash vorna-flash.exe)/vorna-flash.exe
tests=$(exedir tests/windows tst_portable_lib.exe)
work=$win/wine-leg
port=COM7  # never COM1-COM4: a new prefix maps those to the host's serial ports
link=$work/com7
keys=0011223344556677a1a2a3a4a5a6a7a8f0e1d2c3b4a5968778695a4b3c2d1e0f

for f in "$exe" "$tests/tst_portable_lib.exe" "$tests/tst_portable_cli.exe"; do
  [[ -f $f ]] || { echo "wine-leg: missing $f (make windows builds it)" >&2; exit 1; }
done
[[ -x $sim ]] || { echo "wine-leg: missing simulated module $sim" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work"

# Other toolchains' builds, linked at 0x08000000. Where they are not at hand, images of
# the same sizes made with objcopy stand in for them.
if [[ ! -f $hexdir/stm32f103-marlin-objcopy.hex ]]; then
  echo "wine-leg: no real HEX files in $hexdir; using objcopy-made images of the same sizes"
  hexdir=$work/stand-in
  mkdir -p "$hexdir"
  for entry in marlin:214028 bluepill:584 blinky:200; do
    name=${entry%%:*}
    head -c "${entry#*:}" /dev/urandom >"$hexdir/$name.bin"
    objcopy -I binary -O ihex --change-addresses 0x08000000 "$hexdir/$name.bin" "$hexdir/$name.hex"
  done
  mv "$hexdir/marlin.hex" "$hexdir/stm32f103-marlin-objcopy.hex"
  mv "$hexdir/bluepill.hex" "$hexdir/stm32f103-bluepill-objcopy.hex"
  mv "$hexdir/blinky.hex" "$hexdir/stm32c071-blinky-objcopy.hex"
fi
export WINEPREFIX=$win/wine-prefix WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko install prompt for a prefix that runs console programs only.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Wine turns the command line into UTF-16 through the locale's character set.
export LC_ALL=C.UTF-8
wine=${VBF_WINE:-wine}
started=$(date +%s.%N)

sim_pid=
server_pid=
start_wine() {
  wineserver -f -p >"$work/wineserver.out" 2>&1 &
  server_pid=$!
}
stop_wine() {  # ends the prefix's programs, then the server itself
  [[ -n $server_pid ]] || return 0
  timeout 10 wineserver -k >/dev/null 2>&1 || true
  for _ in $(seq 100); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  server_pid=
}
stop_sim() {
  if [[ -n $sim_pid ]]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    # The simulator writes its dump on the way out; bounded, then forced.
    for _ in $(seq 50); do kill -0 "$sim_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=
  fi
}
cleanup() { stop_wine; stop_sim; }
trap cleanup EXIT

fail() {
  echo "wine-leg: FAIL: $*" >&2
  for f in "$work"/last.out "$work"/last.err; do
    [[ -s $f ]] && { echo "--- $(basename "$f")" >&2; tail -n 20 "$f" >&2; }
  done
  exit 1
}
pass() {
  awk -v a="$started" -v b="$(date +%s.%N)" -v what="$*" 'BEGIN { printf "wine-leg: PASS %s (at %.1f s)\n", what, b - a }'
}

start_sim() {  # simulator arguments
  : >"$work/sim.out"
  "$sim" --link "$link" --idle-timeout 120 "$@" >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  for _ in $(seq 100); do
    [[ -s $work/sim.out && -L $link ]] && return 0
    sleep 0.05
  done
  fail "the simulated module did not start"
}

# Runs the tool under Wine with its output in last.out/last.err; sets rc.
run_tool() {
  rc=0
  timeout -k 5 60 "$wine" "$exe" "$@" >"$work/last.out" 2>"$work/last.err" || rc=$?
  # Standard output is in text mode there: lines end in CR LF.
  sed -i 's/\r$//' "$work/last.out" "$work/last.err"
}

# Ends one scenario: the simulator writes its dump on the way out.
end_scenario() { stop_sim; }

winpath() {  # a host path as the Windows program names it (Z: is the host's root)
  local p=$1
  echo "Z:${p//\//\\}"
}

expect_rc() {  # want, what
  [[ $rc == "$1" ]] || fail "$2: exit $rc, want $1"
}

# The image a moved file must leave in flash from 0x08000800, gaps erased.
moved_hex() {  # in, out.hex, out.bin
  objcopy -I ihex -O ihex --change-addresses 0x800 "$1" "$2"
  objcopy -I ihex -O binary --gap-fill 0xff "$2" "$3"
}

# The dump holds the image at 0x800 byte for byte and the identifiers untouched below it.
check_dump() {  # dump, image.bin, what
  local dump=$1 bin=$2 size
  [[ -f $dump ]] || fail "$3: no flash dump"
  size=$(stat -c %s "$bin")
  cmp -s -n "$size" "$bin" <(tail -c +$((0x800 + 1)) "$dump") || fail "$3: flash differs from the image"
  [[ $(od -An -tx1 -v -j $((0x7E0)) -N 32 "$dump" | tr -d ' \n') == "$keys" ]] || fail "$3: identifiers changed"
}

# --- a prefix of our own, its COM7 on the simulator's pty -------------------------------
rm -rf "$WINEPREFIX"
start_wine
timeout -k 5 120 "$wine" wineboot -i >"$work/wineboot.out" 2>&1 || fail "wineboot (see $work/wineboot.out)"
timeout -k 5 30 "$wine" reg add 'HKLM\Software\Wine\Ports' /v "$port" /t REG_SZ /d "$link" /f \
  >"$work/reg.out" 2>&1 || fail "mapping $port"
# The port list is read when the prefix's programs start.
stop_wine
start_wine
prefix_done=$(date +%s.%N)

# Small images for the byte-exact flashes: under Wine every serial round trip costs a few
# milliseconds more than natively, and the 214 KB image would take most of the leg's time.
moved_hex "$hexdir/stm32f103-bluepill-objcopy.hex" "$work/bluepill-moved.hex" "$work/bluepill-moved.bin"
moved_hex "$hexdir/stm32f103-marlin-objcopy.hex" "$work/marlin-moved.hex" "$work/marlin-moved.bin"
special="$work/Prüfung Ω € 1"
mkdir -p "$special"
moved_hex "$hexdir/stm32c071-blinky-objcopy.hex" "$special/fw ü 📡 v1.hex" "$work/blinky-moved.bin"

# --- the Qt-free test programs, the transport one on the mapped port -----------------------
start_sim --keys "$keys" --quiet
for t in tst_portable_lib tst_portable_cli; do
  rc=0
  VBF_TEST_PORT=$port timeout -k 5 60 "$wine" "$tests/$t.exe" >"$work/last.out" 2>"$work/last.err" || rc=$?
  cp "$work/last.out" "$work/$t.out"
  expect_rc 0 "$t"
  grep -q '^SKIP' "$work/last.out" && fail "$t skipped a case"
  pass "$t.exe ($(tail -n 1 "$work/last.out"))"
done

# --- ports, keys ---------------------------------------------------------------------------
run_tool ports
expect_rc 0 ports
grep -q "^$port\$" "$work/last.out" || fail "ports does not list $port"
pass "ports lists $port"

run_tool keys --port "$port"
expect_rc 0 keys
[[ $(cat "$work/last.out") == "DevEUI: ${keys:0:16}"$'\n'"JoinEUI: ${keys:16:16}"$'\n'"AppKey: ${keys:32:32}" ]] ||
  fail "keys printed something else"
pass "keys"

run_tool keys --json --port '\\.\'"$port"
expect_rc 0 "keys --json"
grep -q "\"devEUI\":\"${keys:0:16}\",\"joinEUI\":\"${keys:16:16}\",\"appKey\":\"${keys:32:32}\"" "$work/last.out" ||
  fail "keys --json printed something else"
grep -q '"pid":"0x497"' "$work/last.out" || fail "keys --json names no STM32WL"
pass "keys --json on \\\\.\\$port"
end_scenario

# --- flash a real file moved to the application area, with the bench log ------------------------
csv="$special/bench log.csv"
start_sim --keys "$keys" --quiet --dump "$work/bluepill.dump"
run_tool flash --port "$port" --log "$(winpath "$csv")" "$(winpath "$work/bluepill-moved.hex")"
expect_rc 0 "flash"
grep -Eq '^Flashed [0-9]+ bytes with verification' "$work/last.out" ||
  fail "flash reports something else"
end_scenario
check_dump "$work/bluepill.dump" "$work/bluepill-moved.bin" "flash"
pass "flash of the moved bluepill image: byte-exact, identifiers kept"

[[ $(head -n 1 "$csv") == "time_utc,port,product_id,dev_eui,join_eui,app_key,file,sha256,result,seconds" ]] ||
  fail "--log wrote no header"
row=$(sed -n 2p "$csv")
sha=$(sha256sum "$work/bluepill-moved.hex" | cut -d' ' -f1)
[[ $row == *",$port,0x497,${keys:0:16},${keys:16:16},${keys:32:32},"*",$sha,ok,"* ]] ||
  fail "--log row: $row"
[[ $(wc -l <"$csv") == 2 ]] || fail "--log wrote $(wc -l <"$csv") lines"
pass "--log wrote its CSV row"

# --- a firmware path with non-ASCII characters and spaces -----------------------------------
start_sim --keys "$keys" --quiet --dump "$work/blinky.dump"
run_tool flash --json --port "$port" "$(winpath "$special/fw ü 📡 v1.hex")"
expect_rc 0 "flash from a non-ASCII path"
grep -q '"result":"ok"' "$work/last.out" || fail "flash --json printed something else"
end_scenario
check_dump "$work/blinky.dump" "$work/blinky-moved.bin" "flash from a non-ASCII path"
pass "flash from \"$(basename "$special")/fw ü 📡 v1.hex\""

# --- refusals, with the Linux build's exit codes --------------------------------------------
start_sim --keys "$keys" --quiet --dump "$work/linked.dump"
run_tool flash --port "$port" "$(winpath "$hexdir/stm32f103-marlin-objcopy.hex")"
expect_rc 3 "flash of the file as linked"
end_scenario
[[ $(tail -c +$((0x800 + 1)) "$work/linked.dump" | tr -d '\377' | wc -c) == 0 ]] ||
  fail "the file as linked wrote to flash"
pass "the file as linked: exit 3, nothing written"

run_tool flash --port "$port" "$(winpath "$special/missing.hex")"
expect_rc 3 "flash of a missing file"
run_tool keys --port COM249
expect_rc 2 "keys on a port that does not exist"
grep -q "COM249" "$work/last.err" || fail "the missing port is not named"
pass "missing file: exit 3; missing port: exit 2"

# --- the module silent mid-write: only the deadlines end the wait ------------------------------
start_sim --keys "$keys" --quiet --fault-stop-after 40
t0=$(date +%s.%N)
run_tool flash --port "$port" "$(winpath "$work/marlin-moved.hex")"
took=$(awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
end_scenario
cp "$work/last.err" "$work/silent.err"
expect_rc 5 "module silent mid-write"
grep -q 'during write' "$work/last.err" || fail "module silent mid-write: not in the write"
awk -v t="$took" 'BEGIN { exit !(t < 15) }' || fail "module silent mid-write: exit after $took s"
pass "module silent mid-write: exit 5 after $took s"

# --- the module gone mid-write -----------------------------------------------------------
# At wire speed the write takes about twenty seconds; the simulator is ended once the
# first blocks are in.
start_sim --keys "$keys" --baud 115200 --log "$work/slow-sim.log"
timeout -k 5 60 "$wine" "$exe" flash --port "$port" "$(winpath "$work/marlin-moved.hex")" \
  >"$work/last.out" 2>"$work/last.err" &
tool_pid=$!
for _ in $(seq 300); do
  (($(grep -c 'Write Memory' "$work/slow-sim.log" 2>/dev/null || true) >= 20)) && break
  sleep 0.05
done
(($(grep -c 'Write Memory' "$work/slow-sim.log" || true) >= 20)) || { kill "$tool_pid" 2>/dev/null; fail "no write began"; }
killed=$(date +%s.%N)
kill -KILL "$sim_pid"
wait "$sim_pid" 2>/dev/null || true
sim_pid=
rc=0
for _ in $(seq 150); do kill -0 "$tool_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$tool_pid" 2>/dev/null; then
  kill -TERM "$tool_pid" 2>/dev/null || true
  wait "$tool_pid" 2>/dev/null || true
  fail "vorna-flash still ran 15 s after the module went"
fi
wait "$tool_pid" || rc=$?
took=$(awk -v a="$killed" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
expect_rc 5 "module gone mid-write"
pass "module gone mid-write: exit 5 after ${took} s"

stop_wine
awk -v a="$started" -v b="$prefix_done" -v c="$(date +%s.%N)" \
  'BEGIN { printf "wine-leg: all passed in %.1f s (prefix %.1f s)\n", c - a, b - a }'
