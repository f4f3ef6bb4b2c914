#!/usr/bin/env bash
# The line database from Windows: vorna-flash.exe under Wine as a station through COM9,
#  1. on an SQLite file: its rows, a repeated DevEUI flagged, the file read back by the
#     Linux build;
#  2. on a PostgreSQL server of our own over TCP on 127.0.0.1 (Wine has no Unix sockets),
#     TLS required, the password from a password file: a Wine station and a Linux station
#     on the same line each catch the other's duplicate.
#
#   wine_db.sh WINDOWS_BUILD_DIR MODULE_SIM LINUX_VORNA_FLASH REAL_HEX_DIR
#
# Every process started here is ended by its PID or by its own bounded timeout; the
# server is stopped and its folder removed on the way out.
set -euo pipefail

[[ $# == 4 ]] || { echo "usage: $0 WINDOWS_BUILD_DIR MODULE_SIM LINUX_VORNA_FLASH REAL_HEX_DIR" >&2; exit 2; }
win=$(cd "$1" && pwd)
sim=$2
linux_vf=$3
hexdir=$4
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
tag=wine-db
work=$win/wine-db
port=COM9  # never COM1-COM4: a new prefix maps those to the host's serial ports
link=$work/com9
linux_link=$work/linux-port
wine=${VBF_WINE:-wine}
pgbin=/usr/lib/postgresql/15/bin

export WINEPREFIX=$win/wine-db-prefix WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=,winemenubuilder.exe=d"
export LC_ALL=C.UTF-8
# shellcheck source=tests/windows-gui/wine_common.sh
source "$here/../windows-gui/wine_common.sh"

exedir() { if [[ -f $win/$2 ]]; then echo "$win"; else echo "$win/$1"; fi; }
exe=$(exedir tools/vorna-flash vorna-flash.exe)/vorna-flash.exe
[[ -f $exe ]] || fail "missing $exe (make windows builds it)"
[[ -x $sim && -x $linux_vf ]] || fail "missing the simulator or the Linux vorna-flash"

pg_dir= pg_user=() linux_sim_pid=
cleanup() {
  stop_all
  stop_pid "$linux_sim_pid"
  if [[ -n $pg_dir ]]; then
    "${pg_user[@]}" "$pgbin/pg_ctl" -D "$pg_dir/data" -w -t 30 stop -m immediate >/dev/null 2>&1 || true
    rm -rf "$pg_dir"
  fi
}
trap cleanup EXIT

rm -rf "$work"
mkdir -p "$work"
private_home
# A small real image moved to the application area; random bytes of its size stand in
# where the real files are not at hand.
hex=$work/firmware.hex
real=$hexdir/stm32f103-bluepill-objcopy.hex
if [[ ! -f $real ]]; then
  head -c 584 /dev/urandom >"$work/stand-in.bin"
  objcopy -I binary -O ihex --change-addresses 0x08000000 "$work/stand-in.bin" "$work/stand-in.hex"
  real=$work/stand-in.hex
fi
moved_image "$real" "$hex" "$work/firmware.bin"
# The station's spool and state folder: under the run's own home on both sides.
export XDG_STATE_HOME=$work/state
export ASAN_OPTIONS=detect_leaks=0

random_hex() { od -An -tx1 -N "$1" /dev/urandom | tr -d ' \n'; }
keys_with() { echo "$1$(random_hex 24)"; }  # DevEUI, then a random JoinEUI and AppKey

# Runs vorna-flash.exe with its output in last.out/last.err; sets rc.
run_exe() {
  rc=0
  timeout -k 5 90 "$wine" "$exe" "$@" >"$work/last.out" 2>"$work/last.err" || rc=$?
  sed -i 's/\r$//' "$work/last.out" "$work/last.err"
}
run_linux() {
  rc=0
  timeout -k 5 90 "$linux_vf" "$@" >"$work/last.out" 2>"$work/last.err" || rc=$?
}
expect() {  # want what
  [[ $rc == "$1" ]] || { tail -n 5 "$work/last.err" >&2; fail "$2: exit $rc, want $1"; }
}
# The one station result line's field; the station prints one JSON object per module.
field() { grep -o "\"$1\":\"[^\"]*\"" "$work/last.out" | head -n 1 | cut -d'"' -f4; }

# A simulated module with these keys on the Windows port's pty, or on the Linux one.
sim_on() {  # link keys
  "$sim" --link "$1" --keys "$2" --uid "$(random_hex 12)" --quiet --idle-timeout 120 >"$work/sim.out" 2>"$work/sim.err" &
  local pid=$!
  for _ in $(seq 100); do [[ -s $work/sim.out && -L $1 ]] && break; sleep 0.05; done
  [[ -L $1 ]] || fail "the simulated module did not start"
  if [[ $1 == "$link" ]]; then sim_pid=$pid; else linux_sim_pid=$pid; fi
}
sim_off() { stop_pid "$sim_pid"; sim_pid=; stop_pid "$linux_sim_pid"; linux_sim_pid=; }

# One module through the Windows station; prints nothing, leaves the result in last.out.
wine_station() {  # keys db-url
  sim_on "$link" "$1"
  run_exe station --port "$port" "$(winpath "$hex")" --json --db "$2" --count 1
  sim_off
  expect 0 "the Wine station"
  [[ $(field result) == PASS ]] || fail "the Wine station: $(cat "$work/last.out")"
}
linux_station() {  # keys db-url
  sim_on "$linux_link" "$1"
  run_linux station --port "$linux_link" "$hex" --json --db "$2" --count 1
  sim_off
  expect 0 "the Linux station"
  [[ $(field result) == PASS ]] || fail "the Linux station: $(cat "$work/last.out")"
}

new_prefix "$port"

# --- SQLite --------------------------------------------------------------------------------
db=$work/line.db
sqlite="sqlite:$(winpath "$db")"
run_exe release add "$(winpath "$hex")" --db "$sqlite" --name 1.0
expect 0 "release add on SQLite"
dev=$(random_hex 8)
wine_station "$(keys_with "$dev")" "$sqlite"
[[ $(field duplicate) == "" && $(field devEUI) == "$dev" ]] || fail "SQLite, first module: $(cat "$work/last.out")"
wine_station "$(keys_with "$dev")" "$sqlite"
[[ $(field duplicate) == other-module ]] || fail "SQLite, the repeated DevEUI is not flagged: $(cat "$work/last.out")"
# The file Windows wrote, read by the Linux build: the header and both attempts.
run_linux history --db "$db" "${dev^^}"
expect 0 "history of the Windows station's SQLite file"
[[ $(wc -l <"$work/last.out") == 3 ]] && grep -q other-module "$work/last.out" ||
  fail "history shows: $(cat "$work/last.out")"
pass "SQLite through $port: two rows, the repeated DevEUI flagged, the file read on Linux"

# --- PostgreSQL over TCP with TLS, shared with a Linux station ------------------------------
pg_dir=$(mktemp -d /tmp/vbf-wine-db-pg.XXXXXX)
if [[ $(id -u) == 0 ]]; then
  chown postgres: "$pg_dir"
  pg_user=(runuser -u postgres --)
fi
password=$(random_hex 12)
echo "$password" >"$pg_dir/pw"
"${pg_user[@]}" "$pgbin/initdb" -D "$pg_dir/data" --username=postgres --auth-local=trust \
  --auth-host=scram-sha-256 --pwfile="$pg_dir/pw" --encoding=UTF8 --locale=C.UTF-8 >"$work/initdb.log" 2>&1 ||
  fail "initdb (see $work/initdb.log)"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 \
  -keyout "$pg_dir/server.key" -out "$pg_dir/server.crt" >"$work/openssl.log" 2>&1 || fail "no server certificate"
chmod 600 "$pg_dir/server.key"
[[ -z ${pg_user[*]} ]] || chown postgres: "$pg_dir/server.key" "$pg_dir/server.crt"
# Only TLS connections from 127.0.0.1, with a password; local ones for our own psql.
cat >"$pg_dir/data/pg_hba.conf" <<EOF
local all all trust
hostssl all all 127.0.0.1/32 scram-sha-256
EOF
pg_port=
for p in $(shuf -i 20000-40000 -n 20); do
  (exec 3<>/dev/tcp/127.0.0.1/$p) 2>/dev/null && continue
  pg_port=$p
  break
done
[[ -n $pg_port ]] || fail "no free TCP port"
server_options="-c listen_addresses=127.0.0.1 -c port=$pg_port -c unix_socket_directories=$pg_dir -c ssl=on"
server_options+=" -c ssl_cert_file=$pg_dir/server.crt -c ssl_key_file=$pg_dir/server.key -c log_connections=on"
"${pg_user[@]}" "$pgbin/pg_ctl" -D "$pg_dir/data" -w -t 60 -l "$pg_dir/server.log" -o "$server_options" start \
  >"$work/pg_ctl.log" 2>&1 || { cp "$pg_dir/server.log" "$work/" 2>/dev/null || true; fail "the server did not start"; }
psql_() { "${pg_user[@]}" psql -h "$pg_dir" -p "$pg_port" -U postgres -XAtq -v ON_ERROR_STOP=1 "$@"; }
psql_ -c "CREATE ROLE station LOGIN PASSWORD '$password'" -c "CREATE DATABASE line OWNER station" ||
  fail "no role or database"

# The password from a password file on both sides, none in the URL.
pgpass=$work/pgpass.conf
echo "127.0.0.1:$pg_port:line:station:$password" >"$pgpass"
chmod 600 "$pgpass"
export PGPASSFILE=$pgpass
url="postgresql://station@127.0.0.1:$pg_port/line?sslmode=require"
run_linux release add "$hex" --db "$url" --name 1.0
expect 0 "release add on PostgreSQL"

# Wine's libpq reads PGPASSFILE as a Windows path.
wine_pg() { PGPASSFILE=$(winpath "$pgpass") wine_station "$@"; }
dev_linux=$(random_hex 8) dev_wine=$(random_hex 8)
linux_station "$(keys_with "$dev_linux")" "$url"
[[ $(field duplicate) == "" ]] || fail "Linux station, first module flagged"
wine_pg "$(keys_with "$dev_linux")" "$url"
[[ $(field duplicate) == other-module ]] || fail "the Wine station missed the Linux station's DevEUI: $(cat "$work/last.out")"
wine_pg "$(keys_with "$dev_wine")" "$url"
[[ $(field duplicate) == "" ]] || fail "Wine station, its own first module flagged"
linux_station "$(keys_with "$dev_wine")" "$url"
[[ $(field duplicate) == other-module ]] || fail "the Linux station missed the Wine station's DevEUI: $(cat "$work/last.out")"

rows=$(psql_ -d line -c "SELECT count(*), count(*) FILTER (WHERE duplicate = 'other-module'), count(DISTINCT run_id) FROM attempts")
[[ $rows == "4|2|4" ]] || fail "the server holds rows|flags|runs $rows, want 4|2|4"
flagged=$(psql_ -d line -c "SELECT string_agg(dev_eui, ',' ORDER BY dev_eui) FROM attempts WHERE duplicate = 'other-module'")
want=$(printf '%s\n' "${dev_linux^^}" "${dev_wine^^}" | sort | paste -sd,)
[[ ${flagged^^} == "$want" ]] || fail "flagged $flagged, want $want"
# Every station connection came over TLS.
stations=$(grep -c 'connection authorized: user=station' "$pg_dir/server.log" || true)
tls=$(grep 'connection authorized: user=station' "$pg_dir/server.log" | grep -c 'SSL enabled' || true)
((stations > 0 && stations == tls)) || fail "$tls of $stations station connections used TLS"
pass "PostgreSQL over TLS on 127.0.0.1: the Wine and the Linux station each caught the other's duplicate ($stations connections, all TLS)"

# A profile folder with a letter outside ASCII, as Windows hands it out (UTF-16): the
# spool is made in that folder, not in one named by the code page's bytes. Wine sets
# LOCALAPPDATA itself, so cmd sets it for the one run.
appdata='C:\users\Jürgen\AppData\Local'
dev=$(random_hex 8)
sim_on "$link" "$(keys_with "$dev")"
rc=0
PGPASSFILE=$(winpath "$pgpass") timeout -k 5 90 "$wine" cmd /c "set LOCALAPPDATA=$appdata&& $(winpath "$exe") station \
  --port $port $(winpath "$hex") --json --db $url --count 1" >"$work/last.out" 2>"$work/last.err" || rc=$?
sed -i 's/\r$//' "$work/last.out" "$work/last.err"
sim_off
expect 0 "the Wine station whose LOCALAPPDATA is $appdata"
[[ $(field result) == PASS && $(field devEUI) == "$dev" ]] || fail "LOCALAPPDATA $appdata: $(cat "$work/last.out")"
compgen -G "$WINEPREFIX/drive_c/users/Jürgen/AppData/Local/vorna-flash/spool-*.sqlite" >/dev/null ||
  fail "no spool in $appdata: $(find "$WINEPREFIX/drive_c/users" -name 'spool-*' | head -n 3)"
pass "a LOCALAPPDATA with a non-ASCII letter holds the station's spool"
