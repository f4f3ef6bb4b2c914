# Shared by the Wine scripts here (sourced, not run): stopping what they start, a virtual
# X server, a Wine prefix of their own with a COM port on the simulated module's pty, the
# simulator itself and the check of its flash dump.
#
# The caller sets: tag (the prefix of its messages), work (its scratch folder), wine,
# WINEPREFIX, and for the simulator sim, link and keys; and calls private_home once work
# exists, before the first Wine program.

winpath() { local p=$1; echo "Z:${p//\//\\}"; }  # a host path as a Windows program names it
fail() { echo "$tag: FAIL: $*" >&2; exit 1; }
pass() { echo "$tag: PASS $*"; }

# Wine's menu builder turns every shortcut a program makes into entries and icons of the
# host's menus, under HOME (XDG_DATA_HOME, XDG_CONFIG_HOME), and the WINEDLLOVERRIDES way of
# turning it off does not hold for the shell's own calls; the prefix's Desktop and Documents
# are links to HOME too. A home of the run's own keeps all of that out of the user's.
private_home() {
  host_home=$HOME
  export HOME=$work/home
  export XDG_DATA_HOME=$HOME/.local/share XDG_CONFIG_HOME=$HOME/.config
  export XDG_CACHE_HOME=${XDG_CACHE_HOME:-$host_home/.cache}  # fontconfig's cache stays shared
  mkdir -p "$XDG_DATA_HOME" "$XDG_CONFIG_HOME"
}

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
stop_all() {
  stop_wine
  stop_pid "$app_pid"; app_pid=
  stop_pid "$sim_pid"; sim_pid=
  stop_pid "$xvfb_pid"; xvfb_pid=
}

start_xvfb() {  # a virtual X server on a free display; sets DISPLAY
  for n in $(seq 90 140); do
    [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]] && continue
    Xvfb ":$n" -screen 0 1280x900x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 50); do [[ -e /tmp/.X11-unix/X$n ]] && break; sleep 0.1; done
    if kill -0 "$xvfb_pid" 2>/dev/null && [[ -e /tmp/.X11-unix/X$n ]]; then
      export DISPLAY=:$n
      return 0
    fi
    xvfb_pid=
  done
  fail "no virtual X server"
}

reg_add() { timeout -k 5 30 "$wine" reg add "$@" /f >>"$work/reg.out" 2>&1 || fail "reg add $1"; }

# A fresh prefix, its PORT on the simulator's pty. With "desktop", a Windows-like desktop of
# its own: Wine draws the frames and title bars itself, as Windows would.
new_prefix() {  # port [desktop]
  rm -rf "$WINEPREFIX"
  timeout -k 5 120 "$wine" wineboot -i >"$work/wineboot.out" 2>&1 || fail "wineboot (see $work/wineboot.out)"
  reg_add 'HKLM\Software\Wine\Ports' /v "$1" /t REG_SZ /d "$link"
  if [[ ${2:-} == desktop ]]; then
    reg_add 'HKCU\Software\Wine\Explorer' /v Desktop /t REG_SZ /d Default
    reg_add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /t REG_SZ /d 1280x900
    # Wine has no Arial, and without one it falls back to a math font whose line height
    # leaves the identifier fields blank. Liberation Sans (fonts-liberation) has its metrics.
    reg_add 'HKCU\Software\Wine\Fonts\Replacements' /v Arial /t REG_SZ /d 'Liberation Sans'
  fi
  # The port list is read when the prefix's programs start.
  stop_wine
}

start_sim() {  # [dump]: the simulated module on $link, its flash written to dump on the way out
  "$sim" --link "$link" --keys "$keys" --quiet --idle-timeout 300 ${1:+--dump "$1"} \
    >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  for _ in $(seq 100); do [[ -s $work/sim.out && -L $link ]] && return 0; sleep 0.05; done
  fail "the simulated module did not start"
}

# The image a file moved by 0x800 leaves in flash from 0x08000800, gaps erased.
moved_image() {  # in.hex out.hex out.bin
  objcopy -I ihex -O ihex --change-addresses 0x800 "$1" "$2"
  objcopy -I ihex -O binary --gap-fill 0xff "$2" "$3"
}

# The dump holds the image at 0x800 byte for byte and the identifiers untouched below it.
check_dump() {  # dump image.bin what
  local size
  [[ -f $1 ]] || fail "$3: no flash dump"
  size=$(stat -c %s "$2")
  cmp -s -n "$size" "$2" <(tail -c +$((0x800 + 1)) "$1") || fail "$3: the flash differs from the image"
  [[ $(od -An -tx1 -v -j $((0x7E0)) -N 32 "$1" | tr -d ' \n') == "$keys" ]] || fail "$3: the identifiers in flash changed"
}

wait_window() {  # title start: waits up to a minute for a top-level window of that title
  for _ in $(seq 120); do
    xwininfo -root -tree 2>/dev/null | grep -q "\"$1" && return 0
    sleep 0.5
  done
  xwininfo -root -tree >"$work/windows.txt" 2>&1 || true
  return 1
}
