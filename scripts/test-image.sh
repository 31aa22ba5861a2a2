#!/usr/bin/env bash
# The shipped x64 image in the world: every embedded scenario, seeds 1, 2, 7 and 977, on 1 and
# on 4 processors, runs on build/windows-x64/windows/usbnic.sys and must give the trace the
# built-in driver gives (run with --points calls, so both interleave at the same points), apart
# from how each run was asked for and the count of checks (windows/compare_traces.py says why).
# Without arguments, the x86 image follows in the 32-bit world (scripts/test-image-x86.sh).
# Usage: scripts/test-image.sh [NICSIM [IMAGE]]   (defaults: the default preset's nicsim, built
# when missing, and the x64 image, built by scripts/build-windows.sh when missing; given either,
# only that comparison runs).
set -euo pipefail
cd "$(dirname "$0")/.."
nicsim="${1:-build/default/tools/nicsim/nicsim}"
image="${2:-build/windows-x64/windows/usbnic.sys}"
[ -x "$nicsim" ] || scripts/setup.sh default nicsim
[ -f "$image" ] || scripts/build-windows.sh
python3 windows/compare_traces.py "$nicsim" "$image"
if [ $# -eq 0 ]; then scripts/test-image-x86.sh; fi
