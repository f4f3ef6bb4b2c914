#!/usr/bin/env bash
# check_deb.sh DEB-or-FOLDER
# Unpacks the Debian package (the newest .deb in FOLDER) into a scratch root with dpkg -x and
# checks what a user gets: both programs start and end cleanly, neither is a sanitizer build,
# the version is the package's, and the manual page, desktop entry, icon, licence texts and
# udev rules are in place, with the scripts that reload udev's rules.
set -uo pipefail

where=${1:?usage: check_deb.sh DEB-or-FOLDER}
if [[ -d "$where" ]]; then
  deb=$(ls -t "$where"/*.deb 2>/dev/null | head -n 1)
else
  deb=$where
fi
if [[ -z "$deb" || ! -f "$deb" ]]; then
  echo "SKIP: no .deb in $where; make package builds one"
  exit 77
fi

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root" || { echo "FAIL: dpkg -x $deb"; exit 1; }

passed=0 failed=0
check() {  # check WHAT STATUS [DETAIL]
  if [[ $2 -eq 0 ]]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $1 ${3:-}"; fi
}
ok() { "$@" >/dev/null 2>&1; echo $?; }

package=$(dpkg-deb -f "$deb" Package)
version=$(dpkg-deb -f "$deb" Version)
depends=$(dpkg-deb -f "$deb" Depends)
echo "package: $deb ($(stat -c %s "$deb") bytes)"
echo "Depends: $depends"
bin="$root/usr/bin"

# Dependencies come from the linked libraries, plus the SVG plug-in loaded at run time.
for lib in libqt6widgets6 libqt6gui6 libqt6core6 libserialport0 libc6 libstdc++6 libqt6svg6; do
  check "Depends names $lib" $([[ "$depends" == *"$lib"* ]]; echo $?) "($depends)"
done
check "Depends names no sanitizer runtime" $([[ "$depends" != *libasan* && "$depends" != *libubsan* ]]; echo $?)

for program in vorna-base-flasher vorna-flash; do
  check "$program installed" $(ok test -x "$bin/$program")
  libs=$(ldd "$bin/$program" 2>&1)
  check "$program: every library found" $([[ "$libs" != *"not found"* ]]; echo $?) "$libs"
  check "$program: no sanitizer runtime" $([[ "$libs" != *libasan* && "$libs" != *libubsan* ]]; echo $?)
  echo "$program: $(stat -c %s "$bin/$program") bytes"
done

out=$("$bin/vorna-flash" --version 2>&1); rc=$?
check "vorna-flash --version" $([[ $rc -eq 0 && "$out" == "vorna-flash $version" ]]; echo $?) "(exit $rc: $out)"

# The window, offscreen, closed after half a second as a user would close it.
out=$(cd "$root" && VBF_CLOSE_AFTER_MS=500 timeout 60 "$bin/vorna-base-flasher" -platform offscreen 2>&1); rc=$?
check "vorna-base-flasher opens and closes with status 0" $([[ $rc -eq 0 ]]; echo $?) "(exit $rc: $out)"
check "vorna-base-flasher: no sanitizer report" $([[ "$out" != *Sanitizer* ]]; echo $?) "$out"

man="$root/usr/share/man/man1/vorna-flash.1.gz"
check "manual page installed" $(ok test -f "$man")
page=$(zcat "$man" 2>/dev/null)
check "manual page: title with the version, usage and options" \
  $([[ "$page" == *'.TH VORNA-FLASH "1"'*"\"vorna-flash $version\""* && "$page" == *'vorna\-flash keys'*'\-\-port'* &&
       "$page" == *".SH OPTIONS"* ]]; echo $?) "$(printf '%s\n' "$page" | head -n 12)"

entry="$root/usr/share/applications/vorna-base-flasher.desktop"
check "desktop entry starts the installed program" $(ok grep -qx "Exec=vorna-base-flasher" "$entry")
check "icon installed" $(ok test -s "$root/usr/share/icons/hicolor/256x256/apps/vorna-base-flasher.png")

doc="$root/usr/share/doc/$package"
for f in copyright License.html LGPL-3.0.txt OFL-1.1.txt BSL-1.0.txt BSD-3-Clause-CLI11.txt MIT-nlohmann-json.txt \
         FontAwesome-LICENSE.txt; do
  check "licence file $f" $(ok test -s "$doc/$f")
done
check "installed licence page names a Qt version" $(ok grep -q '<h2><a name="qt"></a>Qt 6\.[0-9]*\.[0-9]*</h2>' "$doc/License.html")

# The udev rules where udev reads them, and the scripts that reload them: with udev running
# (a fake udevadm that answers the ping) they reload and trigger, without it they only ask,
# and a failing udevadm never fails the install or the removal.
rules_src="$(cd "$(dirname "$0")" && pwd)/../../packaging/udev/70-vorna-base-flasher.rules"
rules="$root/usr/lib/udev/rules.d/70-vorna-base-flasher.rules"
check "udev rules installed as in the source" $(ok cmp "$rules_src" "$rules")
control="$root/DEBIAN"
dpkg-deb -e "$deb" "$control" || check "dpkg-deb -e $deb" 1
mkdir -p "$root/fake-bin"
cat >"$root/fake-bin/udevadm" <<'FAKE'
#!/bin/sh
echo "$*" >>"$FAKE_UDEVADM_LOG"
[ "$1 $2" = "control --ping" ] && exit "$FAKE_UDEV_RUNNING"
exit "$FAKE_UDEVADM_STATUS"
FAKE
chmod +x "$root/fake-bin/udevadm"
export FAKE_UDEVADM_LOG="$root/udevadm.log"
reloaded=$'control --ping\ncontrol --reload-rules\ntrigger --subsystem-match=tty --action=change'
for script in postinst postrm; do
  check "$script is executable" $(ok test -x "$control/$script")
  [[ $script == postinst ]] && arg=configure || arg=remove
  for case in "0 0 reload" "0 1 reload" "1 0 ping"; do
    read -r running status expect <<<"$case"
    : >"$FAKE_UDEVADM_LOG"
    FAKE_UDEV_RUNNING=$running FAKE_UDEVADM_STATUS=$status PATH="$root/fake-bin:$PATH" "$control/$script" "$arg"
    rc=$?
    calls=$(cat "$FAKE_UDEVADM_LOG")
    [[ $expect == reload ]] && want=$reloaded || want="control --ping"
    check "$script $arg (udev running: $((1 - running)), udevadm failing: $status)" \
      $([[ $rc -eq 0 && "$calls" == "$want" ]]; echo $?) "(exit $rc; calls: ${calls//$'\n'/; })"
  done
  # Without udevadm at all (a container): nothing to do, and no failure.
  PATH=/nonexistent /bin/sh "$control/$script" "$arg"
  check "$script $arg without udevadm" $?
done
: >"$FAKE_UDEVADM_LOG"
FAKE_UDEV_RUNNING=0 FAKE_UDEVADM_STATUS=0 PATH="$root/fake-bin:$PATH" "$control/postinst" upgrade-abort
check "postinst leaves udev alone but on configure" $([[ ! -s "$FAKE_UDEVADM_LOG" ]]; echo $?)

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
