#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset: clang, AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs each from its seed corpus for a while. New inputs go to build/fuzz/corpus/<target>, so
# the committed seeds under fuzz/corpus/ stay as they are; a crashing input is kept as
# build/fuzz/artifacts/<target>-crash-* and fails the run.
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]   (default: 15 seconds, every target)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-15}"
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(config_descriptor_fuzz bulk_in_fuzz requests_fuzz scenario_fuzz pe_image_fuzz)

scripts/setup.sh fuzz

passed=0
failed=0
mkdir -p build/fuzz/artifacts
for t in "${targets[@]}"; do
  mkdir -p "build/fuzz/corpus/$t"
  log="build/fuzz/$t.log"
  status=0
  "build/fuzz/fuzz/$t" "build/fuzz/corpus/$t" "fuzz/corpus/$t" \
      -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 -print_final_stats=1 \
      -artifact_prefix="build/fuzz/artifacts/$t-" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  corpus=$(ls "build/fuzz/corpus/$t" | wc -l)
  if [ "$status" -eq 0 ]; then
    passed=$((passed + 1))
    echo "fuzz: $t: ${runs:-?} executions in ${seconds} s, corpus of $corpus inputs"
  else
    failed=$((failed + 1))
    echo "fuzz: $t FAILED (status $status); the last lines of $log:"
    tail -40 "$log"
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
