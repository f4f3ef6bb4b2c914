#!/usr/bin/env bash
# check_udev_rules.sh RULES README INSTALL-SCRIPT
# The udev rules as udev would read them: `udevadm verify` where the installed udev has it,
# and always a check of our own of their syntax and of what each adapter line sets; every
# adapter the rules name is in the README; `make install`'s step that puts them where udev
# reads them, against a fake udevadm.
set -uo pipefail

rules=${1:?usage: check_udev_rules.sh RULES README INSTALL-SCRIPT}
readme=${2:?}
install_script=${3:?}

passed=0 failed=0
check() {  # check WHAT STATUS [DETAIL]
  if [[ $2 -eq 0 ]]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $1 ${3:-}"; fi
}

if command -v udevadm >/dev/null 2>&1 && udevadm verify --help >/dev/null 2>&1; then
  out=$(udevadm verify --resolve-names=never "$rules" 2>&1)
  check "udevadm verify" $? "$out"
else
  echo "note: this udev has no 'udevadm verify'; the syntax check below stands alone"
fi

# udev's syntax, as far as these rules use it: KEY[{ATTR}] OP "VALUE", comma-separated.
match_keys='ACTION|KERNEL|SUBSYSTEM|SUBSYSTEMS|DRIVERS|ATTRS\{[A-Za-z_]+\}|ATTR\{[A-Za-z_]+\}|ENV\{[A-Z_]+\}'
assign_keys='TAG|ENV\{[A-Z_]+\}|GOTO|LABEL|MODE|GROUP'
syntax_errors=""
adapter_lines=0
ids=()
labels=() gotos=()
lineno=0
while IFS= read -r line || [[ -n "$line" ]]; do
  lineno=$((lineno + 1))
  [[ -z "${line//[[:space:]]/}" || "$line" =~ ^[[:space:]]*# ]] && continue
  rest=$line
  vendor="" products="" uaccess=0 ignore=0
  while [[ -n "$rest" ]]; do
    if [[ "$rest" =~ ^[[:space:]]*(($match_keys))[[:space:]]*(==|!=)[[:space:]]*\"([^\"]*)\"[[:space:]]*(,|$)(.*)$ ]]; then
      key=${BASH_REMATCH[1]} value=${BASH_REMATCH[4]} rest=${BASH_REMATCH[6]}
      [[ $key == 'ATTRS{idVendor}' ]] && vendor=$value
      [[ $key == 'ATTRS{idProduct}' ]] && products=$value
    elif [[ "$rest" =~ ^[[:space:]]*(($assign_keys))[[:space:]]*(=|\+=|:=)[[:space:]]*\"([^\"]*)\"[[:space:]]*(,|$)(.*)$ ]]; then
      key=${BASH_REMATCH[1]} op=${BASH_REMATCH[3]} value=${BASH_REMATCH[4]} rest=${BASH_REMATCH[6]}
      [[ $key == TAG && $op == '+=' && $value == uaccess ]] && uaccess=1
      [[ $key == 'ENV{ID_MM_DEVICE_IGNORE}' && $op == '=' && $value == 1 ]] && ignore=1
      [[ $key == GOTO ]] && gotos+=("$value")
      [[ $key == LABEL ]] && labels+=("$value")
    else
      syntax_errors+=" line $lineno: '$rest';"
      break
    fi
  done
  if [[ -n "$vendor" ]]; then
    adapter_lines=$((adapter_lines + 1))
    good=1
    [[ "$vendor" =~ ^[0-9a-f]{4}$ && "$products" =~ ^[0-9a-f]{4}(\|[0-9a-f]{4})*$ ]] || good=0
    check "line $lineno: vendor and product IDs are four lower-case hex digits" $((1 - good)) "($vendor: $products)"
    check "line $lineno: the logged-in user gets the port (TAG+=\"uaccess\")" $((1 - uaccess))
    check "line $lineno: ModemManager leaves it alone (ENV{ID_MM_DEVICE_IGNORE}=\"1\")" $((1 - ignore))
    IFS='|' read -ra list <<<"$products"
    for p in "${list[@]}"; do ids+=("$vendor:$p"); done
  fi
done <"$rules"
check "every line parses" $([[ -z "$syntax_errors" ]]; echo $?) "$syntax_errors"
check "four vendors' lines" $([[ $adapter_lines -eq 4 ]]; echo $?) "($adapter_lines)"
for g in "${gotos[@]}"; do
  check "GOTO $g has its LABEL" $([[ " ${labels[*]} " == *" $g "* ]]; echo $?)
done
# uaccess takes effect in 73-seat-late.rules: the file must sort before it.
name=$(basename "$rules")
check "$name sorts before 73-seat-late.rules" $([[ "$name" < "73-seat-late.rules" ]]; echo $?)

for id in "${ids[@]}"; do
  check "README names $id" $(grep -q "$id" "$readme"; echo $?)
done
for id in 0403:6001 0403:6015 10c4:ea60 1a86:7523 1a86:55d4 067b:2303 067b:23a3; do
  check "the rules name $id" $([[ " ${ids[*]} " == *" $id "* ]]; echo $?)
done

# make install's step: to /etc only from /usr/local, udev asked to reload only when it runs.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/bin"
cat >"$scratch/bin/udevadm" <<'FAKE'
#!/bin/sh
echo "$*" >>"$FAKE_UDEVADM_LOG"
[ "$1 $2" = "control --ping" ] && exit "$FAKE_UDEV_RUNNING"
exit 0
FAKE
chmod +x "$scratch/bin/udevadm"
export FAKE_UDEVADM_LOG="$scratch/udevadm.log"
install_as() {  # install_as PREFIX DESTDIR RUNNING
  rm -rf "$scratch/etc" "$FAKE_UDEVADM_LOG"
  touch "$FAKE_UDEVADM_LOG"
  DESTDIR=$2 FAKE_UDEV_RUNNING=$3 PATH="$scratch/bin:$PATH" cmake -DCMAKE_INSTALL_PREFIX="$1" \
    -DVBF_UDEV_RULES="$rules" -DVBF_UDEV_SYSTEM_DIR="$scratch/etc" -P "$install_script" >/dev/null
}
install_as /usr/local "" 0; rc=$?
check "/usr/local: installed" $([[ $rc -eq 0 ]] && cmp -s "$rules" "$scratch/etc/$name"; echo $?)
check "/usr/local, udev running: reloaded and triggered" \
  $([[ "$(cat "$FAKE_UDEVADM_LOG")" == $'control --ping\ncontrol --reload-rules\ntrigger --subsystem-match=tty --action=change' ]]; echo $?) \
  "($(tr '\n' ';' <"$FAKE_UDEVADM_LOG"))"
install_as /usr/local "" 1
check "/usr/local, no udev running: installed, not reloaded" \
  $([[ -f "$scratch/etc/$name" && "$(cat "$FAKE_UDEVADM_LOG")" == "control --ping" ]]; echo $?)
for case in "/usr|" "/opt/vorna|" "/usr/local|$scratch/stage"; do
  install_as "${case%%|*}" "${case#*|}" 0
  check "prefix ${case%%|*}, DESTDIR '${case#*|}': /etc untouched" \
    $([[ ! -e "$scratch/etc" && ! -s "$FAKE_UDEVADM_LOG" ]]; echo $?)
done

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
