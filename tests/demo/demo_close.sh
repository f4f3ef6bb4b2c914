#!/usr/bin/env bash
# demo_close.sh DEMO_SCRIPT BUILD_DIR
# Runs the demo on a virtual display, closes its window after a moment as a user would, and
# checks the exit status and that the simulated module is gone.
set -uo pipefail
demo=$1 build=$2
log=$(mktemp)
trap 'rm -f "$log"' EXIT

env -u DISPLAY VBF_CLOSE_AFTER_MS=1500 "$demo" "$build" >"$log" 2>&1
rc=$?
cat "$log"
passed=0 failed=0
check() { if [[ $2 -eq 0 ]]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $1"; fi; }

check "demo exits 0 after the window is closed (got $rc)" $([[ $rc -eq 0 ]]; echo $?)
pid=$(sed -n 's/.*simulator PID \([0-9]*\)).*/\1/p' "$log")
check "the demo names its simulator" $([[ -n "$pid" ]]; echo $?)
check "the simulator ended with the demo" $([[ -n "$pid" ]] && ! kill -0 "$pid" 2>/dev/null; echo $?)
check "the sample firmware was written" $([[ -s "$build/demo/sample-firmware.hex" ]]; echo $?)

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
