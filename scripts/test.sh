#!/usr/bin/env bash
# Sets up and builds everything the tests need (GoogleTest, Google Benchmark, tshark,
# python3-jsonschema, valgrind; scripts/setup.sh), then runs the quick tests.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh default
ctest --preset quick
