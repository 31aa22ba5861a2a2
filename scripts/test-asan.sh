#!/usr/bin/env bash
# Builds the sanitizer preset (AddressSanitizer and UndefinedBehaviorSanitizer, every finding
# fatal) and runs the quick tests under it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh asan
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}"
ctest --preset asan
