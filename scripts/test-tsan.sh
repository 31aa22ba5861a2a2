#!/usr/bin/env bash
# Builds the tsan preset (ThreadSanitizer over the driver; the world announces how it orders the
# driver's contexts on its emulated processors) and runs the quick tests under it. Every report
# is a data-race violation that fails its test and names the seed; the sanitizer's own report,
# with both stacks, is in the test's output.
set -euo pipefail
cd "$(dirname "$0")/.."
# The runtime (libtsan) comes with g++.
scripts/setup.sh tsan
# Go on after a report so the test can name its seed (halt_on_error=0); a report still fails the
# process at exit (exitcode). A longer history keeps the earlier access's stack in long seeds.
# The options the world needs are built in (host/world/world.cpp); add suppress_equal_stacks=0 to
# see every seed that meets a race, not only the first.
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=0:exitcode=66:history_size=4}"
ctest --preset tsan
