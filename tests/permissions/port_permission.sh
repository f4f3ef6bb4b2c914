#!/usr/bin/env bash
# port_permission.sh VORNA_FLASH
# Opens ports that an ordinary user may not use, the way a serial device is set up on Linux
# (root-owned, mode 0660, a group such as dialout), and checks that the library's message and
# vorna-flash's sentence say so and name the group to join. Run as root, it drops to nobody.
set -uo pipefail
tool=$1

if [[ $(id -u) -eq 0 ]]; then
  if ! command -v setpriv >/dev/null; then
    echo "SKIP: running as root and setpriv (util-linux) is missing, so no user lacks permission"
    exit 77
  fi
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups --)
else
  as_user=()
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"

passed=0 failed=0
check() {  # check NAME CONDITION-RESULT DETAIL
  if [[ $2 -eq 0 ]]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $1: $3"; fi
}

# name | group | mode | what the sentence must hold ("" = no permission advice)
cases=(
  "dialout-owned|dialout|0660|join the dialout group (or the group that owns the device), e.g. with sudo usermod -aG dialout \$USER, and log in again."
  "uucp-owned|uucp|0660|join the group uucp that owns it, e.g. with sudo usermod -aG uucp \$USER, and log in again."
  "root-only|root|0600|join the dialout group (or the group that owns the device)"
  "readable-not-a-port|root|0666|"
)
for row in "${cases[@]}"; do
  IFS='|' read -r name group mode want <<<"$row"
  if [[ $(id -u) -ne 0 && -n "$want" ]]; then
    echo "SKIP: $name needs root to set up the port's owner"
    continue
  fi
  port="$work/$name"
  : >"$port"
  [[ $(id -u) -eq 0 ]] && chgrp "$group" "$port"
  chmod "$mode" "$port"
  "${as_user[@]}" "$tool" keys --port "$port" >"$work/out" 2>"$work/err"
  rc=$?
  err=$(cat "$work/err")
  check "$name: exit status 2" $([[ $rc -eq 2 ]]; echo $?) "got $rc; $err"
  if [[ -n "$want" ]]; then
    check "$name: sentence" $([[ "$err" == *"The serial port $port cannot be opened: permission denied; "* &&
                                 "$err" == *"$want"* ]]; echo $?) "$err"
    check "$name: library message" \
      $([[ "$err" == *"cannot open $port: permission denied; join the dialout group (or the group that owns $port) and log in again"* ]]; echo $?) "$err"
  else
    check "$name: no permission advice" $([[ "$err" != *"permission denied"* && "$err" != *dialout* ]]; echo $?) "$err"
  fi
done

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
