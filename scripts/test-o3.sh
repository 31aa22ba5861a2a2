#!/usr/bin/env bash
# Builds everything fully optimised (-O3, the o3 preset) and runs the quick tests there: some
# faults (an index past the end of an array row, say) only show once the optimiser reasons about
# them.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh o3
ctest --preset o3
