#!/usr/bin/env bash
# Flash with verification through the simulated module at real wire speed, and compare
# vorna-flash with the line-time floor of the work and with stm32flash doing the same work;
# then eight modules at once against one, and faster line rates against 115200.
#
#   flash_bench.sh VORNA_FLASH MODULE_SIM WORKDIR [MODEM_PRELOAD]   (env BAUD, default 115200)
#
# With MODEM_PRELOAD (the test-only library that hands a pty's serial ioctls to the
# simulator) it ends with the USB bridge's latency timer: the low-latency request reaching
# the simulated bridge against a timer left as it is.
set -euo pipefail

tool=$1
sim=$2
work=$3
preload=${4:-}
baud=${BAUD:-115200}
mkdir -p "$work"

# The simulated STM32WL's flash times (its model: 2 KiB page erase, 8-byte programming unit).
page_size=2048
page_erase_s=0.022
unit_bytes=8
unit_program_s=0.000082
# Bytes of a minimal connection: sync 7F+ACK (2), Get with its 11 commands (2+15), Get ID (2+5).
connect_bytes=26

sim_pid=
sim_pids=()
stop_sim() {
  if [[ -n $sim_pid ]]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=
  fi
}
stop_sims() {
  local p
  for p in "${sim_pids[@]+"${sim_pids[@]}"}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${sim_pids[@]+"${sim_pids[@]}"}"; do wait "$p" 2>/dev/null || true; done
  sim_pids=()
}
trap 'stop_sim; stop_sims' EXIT

start_sim() {  # extra simulator arguments; sets sim_pid and pty
  : >"$work/sim.out"
  "$sim" --baud "$baud" --quiet --idle-timeout 120 --log "$work/sim.log" "$@" >"$work/sim.out" 2>/dev/null &
  sim_pid=$!
  for _ in $(seq 100); do
    pty=$(head -n1 "$work/sim.out" 2>/dev/null || true)
    [[ -n $pty ]] && return 0
    sleep 0.05
  done
  echo "bench: the simulated module did not start" >&2
  exit 1
}

now() { date +%s.%N; }

# Stops the bench when a timed run failed, with the end of its output.
check_run() {  # label, exit status
  if (($2 != 0)); then
    echo "bench: $1 failed (exit $2):" >&2
    tail -n 5 "$work/$1.out" >&2
    exit 1
  fi
}

# Runs one flash; prints the seconds it took. Stops the bench on any failure.
timed_flash() {  # label, sim args..., --, command...
  local label=$1; shift
  local simargs=()
  while [[ $1 != -- ]]; do simargs+=("$1"); shift; done
  shift
  start_sim --wire-trace "$work/$label.trace" "${simargs[@]+"${simargs[@]}"}"
  local cmd=("${@/@PTY@/$pty}")
  local t0 t1 rc=0
  t0=$(now)
  "${cmd[@]}" >"$work/$label.out" 2>&1 || rc=$?
  t1=$(now)
  stop_sim
  check_run "$label" "$rc"
  if ! grep -q '^guarded-area: none' "$work/sim.log"; then
    echo "bench: $label touched the identifiers' page:" >&2
    grep '^guarded-area' "$work/sim.log" >&2
    exit 1
  fi
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }'
}

# Wire-time floor of an image given as "address:length" segments: connection, one Extended
# Erase of the touched pages and its erase time, 256-byte Write Memory blocks with their
# programming time, and the Read Memory blocks of the verification.
floor_seconds() {
  local baud=${FLOOR_BAUD:-$baud}
  local seg
  for seg in "$@"; do echo "$((${seg%%:*})):$((${seg##*:}))"; done | awk -v baud="$baud" -v ps="$page_size" -v pe="$page_erase_s" -v ub="$unit_bytes" \
      -v up="$unit_program_s" -v cb="$connect_bytes" -v base=$((0x08000000)) -F: '
    { a = $1 + 0; n = $2 + 0
      for (p = int((a - base) / ps); p <= int((a + n - 1 - base) / ps); p++) pages[p] = 1
      # blocks: 256-byte aligned pieces
      for (x = a; x < a + n; x = e) { e = (int(x / 256) + 1) * 256; if (e > a + n) e = a + n
        len = e - x; wire += 2 * (len + 12); units += int((len + ub - 1) / ub) } }
    END { np = 0; for (p in pages) np++
      wire += cb + 2 * np + 7
      printf "%.2f %d %d\n", wire * 11 / baud + np * pe + units * up, wire, np }'
}

make_image() {  # name, segments...
  local name=$1; shift
  local args=() i=0
  for seg in "$@"; do
    local addr=${seg%%:*} len=${seg##*:}
    head -c "$((len))" /dev/urandom >"$work/$name.$i.bin"
    args+=("$work/$name.$i.bin" -binary -offset "$addr")
    i=$((i + 1))
  done
  srec_cat "${args[@]}" -o "$work/$name.hex" -intel
}

cases=(
  "64K|0x08000800:0x10000"
  "200K|0x08000800:0x32000"
  "sparse|0x08000800:0x2000 0x08020800:0x2000"
)

have_stm32flash=0
command -v stm32flash >/dev/null && have_stm32flash=1

echo "Flash with verification through the simulated STM32WL at $baud baud (8E1, 11 bits a byte)"
echo
printf '%-8s %8s %8s %9s %12s %8s %12s %12s\n' image bytes floor-s vorna-s vorna/floor stm32f-s stm32f/floor vorna/stm32f
for c in "${cases[@]}"; do
  name=${c%%|*}
  read -r -a segs <<<"${c#*|}"
  make_image "$name" "${segs[@]}"
  bytes=0
  for s in "${segs[@]}"; do bytes=$((bytes + ${s##*:})); done
  read -r floor wire pages < <(floor_seconds "${segs[@]}")
  ours=$(timed_flash "$name-vorna" -- "$tool" flash --port @PTY@ "$work/$name.hex")
  [[ $name == 64K ]] && { floor64=$floor; ours64=$ours; }
  if ((have_stm32flash)); then
    theirs=$(timed_flash "$name-stm32flash" --report-pid 0x435 -- \
      stm32flash -m 8n1 -b "$baud" -w "$work/$name.hex" -v -S 0x08000800 @PTY@)
    awk -v n="$name" -v b="$bytes" -v f="$floor" -v o="$ours" -v t="$theirs" 'BEGIN {
      printf "%-8s %8d %8.2f %9.2f %12.2f %8.2f %12.2f %12.2f\n", n, b, f, o, o / f, t, t / f, o / t }'
  else
    awk -v n="$name" -v b="$bytes" -v f="$floor" -v o="$ours" 'BEGIN {
      printf "%-8s %8d %8.2f %9.2f %12.2f %8s %12s %12s\n", n, b, f, o, o / f, "-", "-", "-" }'
  fi
done
echo
echo "floor: bytes both ways of sync, Get, Get ID, one Extended Erase, 256-byte writes and read-backs"
echo "       x 11 / baud, plus ${page_erase_s} s a page erased and ${unit_program_s} s per ${unit_bytes} bytes programmed."
((have_stm32flash)) || echo "stm32flash is not installed: no comparison."
# What the identifier page guard must read on top (page 0 of the simulated STM32WL holds data): the
# page twice before the first erase, one byte per erase unit after it, the page once after the
# last write; each of those 25 reads costs 12 bytes of command, address, count and ACKs.
guard_bytes=$((2 * 2048 + 1 + 2048 + 25 * 12))
awk -v f="$floor64" -v o="$ours64" -v g="$guard_bytes" -v b="$baud" 'BEGIN {
  gs = g * 11 / b
  printf "64K with the guard: %d bytes, %.2f s on the line; floor with them %.2f s, vorna/floor %.3f\n", g, gs, f + gs, o / (f + gs) }'

# Where the time of the turnarounds goes, from the simulator's wire trace: a turnaround is an
# answer's last byte written to the pty and the host's next bytes read from it. The answer's
# release is measured against the time the wire delivers that byte; the host's part is the
# rest until its next bytes are in (its own work, the pty, the simulator waking up).
turnaround_split() {  # label, trace
  local vals
  vals=$(awk '
    $1 == "tx" { tx = $2; due = $5; answered = 1; next }
    $1 == "rx" && answered { printf "%.1f %.1f\n", (tx - due) / 1000, ($2 - tx) / 1000; answered = 0 }' "$2")
  [[ -n $vals ]] || return 0
  local med_late med_host
  med_late=$(cut -d" " -f1 <<<"$vals" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
  med_host=$(cut -d" " -f2 <<<"$vals" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
  awk -v l="$1" -v ml="$med_late" -v mh="$med_host" '
    { n++; late += $1; host += $2; if ($1 + $2 > 2000) { slow++; slowSum += $1 + $2 } }
    END { printf "%-16s %6d %10.1f %10.1f %10.1f %10.1f %9.3f %5d %7.3f\n", l, n, late / n, ml, host / n, mh,
            (late + host) / 1e6, slow, slowSum / 1e6 }' <<<"$vals"
}

echo
echo "64K turnarounds (us): answer's last byte written after the wire delivers it; host's next bytes after that"
printf '%-16s %6s %10s %10s %10s %10s %9s %5s %7s\n' run turns late-mean late-med host-mean host-med lost-s '>2ms' in-s
turnaround_split vorna-flash "$work/64K-vorna.trace"
((have_stm32flash)) && turnaround_split stm32flash "$work/64K-stm32flash.trace"
echo ">2ms: turnarounds that took over 2 ms, and the seconds they took together (here: the pty's"
echo "      kernel work passing bytes on, flush_to_ldisc, now and then taking milliseconds)."

# --- several modules at once --------------------------------------------------------------
# N simulated modules, each on its own pty with its own log; sets ptys.
start_sims() {  # count, extra simulator arguments...
  local n=$1; shift
  local i
  ptys=()
  for ((i = 0; i < n; i++)); do
    : >"$work/multi-$i.out"
    "$sim" --quiet --idle-timeout 120 --log "$work/multi-$i.log" "$@" >"$work/multi-$i.out" 2>/dev/null &
    sim_pids+=($!)
  done
  for ((i = 0; i < n; i++)); do
    local p=
    for _ in $(seq 100); do
      p=$(head -n1 "$work/multi-$i.out" 2>/dev/null || true)
      [[ -n $p ]] && break
      sleep 0.05
    done
    [[ -n $p ]] || { echo "bench: simulated module $i did not start" >&2; exit 1; }
    ptys+=("$p")
  done
}

# Flashes the image on N modules at once at the given rate; prints the wall seconds.
timed_multi() {  # label, count, baud, hex
  local label=$1 n=$2 rate=$3 hex=$4
  start_sims "$n" --baud "$rate"
  local args=(flash --baud "$rate") i t0 t1 rc=0
  for p in "${ptys[@]}"; do args+=(--port "$p"); done
  t0=$(now)
  "$tool" "${args[@]}" "$hex" >"$work/$label.out" 2>&1 || rc=$?
  t1=$(now)
  stop_sims
  if ((rc != 0)); then
    echo "bench: $label failed (exit $rc):" >&2
    tail -n 5 "$work/$label.out" >&2
    exit 1
  fi
  for ((i = 0; i < n; i++)); do
    if ! grep -q '^guarded-area: none' "$work/multi-$i.log"; then
      echo "bench: $label touched the identifiers' page of module $i" >&2
      exit 1
    fi
  done
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }'
}

echo
echo "Eight simulated modules at once against one, 64 KiB with verification at 115200 baud"
one=$(timed_multi multi-1 1 115200 "$work/64K.hex")
eight=$(timed_multi multi-8 8 115200 "$work/64K.hex")
awk -v o="$one" -v e="$eight" 'BEGIN {
  printf "%-22s %8s\n", "run", "wall-s"
  printf "%-22s %8.2f\n", "1 module", o
  printf "%-22s %8.2f\n", "8 modules at once", e
  printf "ratio 8/1: %.2f (target at most 1.15); throughput %.1f x one module\n", e / o, 8 * o / e
  printf "modules per hour: %.0f with eight ports (one port: %.0f)\n", 8 * 3600 / e, 3600 / o }'

echo
echo "One module, 64 KiB with verification, at faster line rates"
printf '%-8s %8s %9s %12s %12s\n' baud floor-s vorna-s vorna/floor vs-115200
base=
for rate in 115200 460800 921600; do
  read -r floor _ _ < <(FLOOR_BAUD=$rate floor_seconds 0x08000800:0x10000)
  t=$(timed_multi "baud-$rate" 1 "$rate" "$work/64K.hex")
  [[ -n $base ]] || base=$t
  awk -v r="$rate" -v f="$floor" -v t="$t" -v b="$base" 'BEGIN {
    printf "%-8d %8.2f %9.2f %12.2f %12.2f\n", r, f, t, t / f, b / t }'
done
echo "vs-115200: how many times faster than the same flash at 115200; the floor keeps the"
echo "           page-erase and programming times, which no line rate shortens."

# --- the USB bridge's latency timer ------------------------------------------------------
# Flashes 64 KiB with the simulated bridge's timer at `timer` ms; with the preload library
# vorna-flash's ASYNC_LOW_LATENCY reaches the bridge (as ftdi_sio takes it), without it the
# timer stays (a Windows user with the driver's default). Prints the seconds.
timed_latency() {  # label, baud, timer ms, preload library or ""
  local label=$1 rate=$2 timer=$3 lib=$4
  rm -f "$work/lat.ctl"
  baud=$rate start_sim --link "$work/lat.pty" --control "$work/lat.ctl" --latency-timer "$timer"
  local envs=() t0 t1 rc=0
  [[ -n $lib ]] && envs=(LD_PRELOAD="$lib" VBF_SIM_PTY="$work/lat.pty" VBF_SIM_CONTROL="$work/lat.ctl")
  t0=$(now)
  env "${envs[@]+"${envs[@]}"}" "$tool" flash --baud "$rate" --port "$work/lat.pty" "$work/64K.hex" \
    >"$work/$label.out" 2>&1 || rc=$?
  t1=$(now)
  stop_sim
  check_run "$label" "$rc"
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }'
}

if [[ -n $preload ]]; then
  echo
  echo "One module, 64 KiB with verification, behind a USB bridge with a latency timer"
  printf '%-8s %8s %12s %12s %12s %12s\n' baud floor-s 16ms+flag-s 16ms-s 1ms-s flag/floor
  for rate in 115200 921600; do
    read -r floor _ _ < <(FLOOR_BAUD=$rate floor_seconds 0x08000800:0x10000)
    flagged=$(timed_latency "lat-$rate-16-flag" "$rate" 16 "$preload")
    plain=$(timed_latency "lat-$rate-16" "$rate" 16 "")
    fast=$(timed_latency "lat-$rate-1" "$rate" 1 "")
    awk -v r="$rate" -v f="$floor" -v a="$flagged" -v p="$plain" -v q="$fast" 'BEGIN {
      printf "%-8d %8.2f %12.2f %12.2f %12.2f %12.2f\n", r, f, a, p, q, a / f }'
  done
  echo "16ms+flag: the timer at the common default, vorna-flash's ASYNC_LOW_LATENCY taken by the"
  echo "           bridge (Linux, ftdi_sio); 16ms: the flag not taken (Windows: lower the timer in"
  echo "           the port's Advanced settings); 1ms: the timer set low by hand."
fi
