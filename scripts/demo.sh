#!/usr/bin/env bash
# Starts the tool from a build folder: scripts/demo.sh BUILD_DIR
# Without a display it runs under a virtual X server.
set -euo pipefail

build="${1:-build}"
program="$build/src/vorna-base-flasher"
if [[ ! -x "$program" ]]; then
  echo "demo: $program not found; build first (make BUILD=$build)" >&2
  exit 1
fi

if [[ -z "${DISPLAY:-}" ]]; then
  echo "demo: no DISPLAY set, running under xvfb-run"
  exec xvfb-run -a -s "-screen 0 1280x600x24" "$program"
fi
exec "$program"
