#!/usr/bin/env bash
# Sets up, builds and runs the quick tests.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh default
ctest --preset quick
