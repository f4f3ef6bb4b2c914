#!/usr/bin/env bash
# Runs every harness for a bounded time: run.sh BUILD_DIR SECONDS_EACH.
# New inputs go to BUILD_DIR/corpus/<harness>; the seeds in fuzz/corpus stay as committed.
# A fault leaves its input in BUILD_DIR/artifacts/ and fails the run.
set -euo pipefail
build="$1"
seconds="${2:-60}"
here="$(cd "$(dirname "$0")" && pwd)"
status=0
for harness in hex srec elf client; do
  mkdir -p "$build/corpus/$harness" "$build/artifacts"
  echo "fuzz: $harness for $seconds s"
  dict=()
  [[ -f "$here/$harness.dict" ]] && dict=(-dict="$here/$harness.dict")
  if ! "$build/${harness}_fuzz" "${dict[@]}" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$build/artifacts/$harness-" "$build/corpus/$harness" "$here/corpus/$harness" \
       >"$build/$harness.log" 2>&1; then
    status=1
    echo "fuzz: $harness FOUND A FAULT; see $build/$harness.log and $build/artifacts/"
  fi
  # Final figures: executions, coverage (edges), corpus.
  grep -E '^#[0-9]+[[:space:]]+DONE|^stat::number_of_executed_units' "$build/$harness.log" || tail -n 5 "$build/$harness.log"
done
exit $status
