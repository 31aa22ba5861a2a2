#!/usr/bin/env bash
# The shipped x64 image in the world: every embedded scenario, seeds 1, 2, 7 and 977, on 1 and
# on 4 processors, runs on build/windows-x64/windows/usbnic.sys and must give the trace the
# built-in driver gives (run with --points calls, so both interleave at the same points), apart
# from how each run was asked for and the count of checks (windows/compare_traces.py says why).
# Then the proof that the comparison can fail: an image built with one DDK field moved (IRP's
# IoStatus, NICSIM_IMAGE_TEST_FAULT=moved-field) must fail it, saying where.
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

wrong=build/windows-x64-moved-field
cmake -S . -B "$wrong" -G Ninja --toolchain windows/toolchain-x64.cmake -DCMAKE_BUILD_TYPE=Release \
    -DNICSIM_WINDOWS_IMAGE=ON -DNICSIM_IMAGE_TEST_FAULT=moved-field >/dev/null
cmake --build "$wrong" --target usbnic >/dev/null
status=0
out=$(python3 windows/compare_traces.py "$nicsim" "$wrong/windows/usbnic.sys" --scenarios default \
      --seeds 1 --cpus 1) || status=$?
echo "$out"
if [ "$status" -ne 1 ] || ! grep -q "usbnic.sys RVA 0x" <<<"$out"; then
  echo "test-image: the image with a moved field was not caught by its place in the image" >&2
  exit 1
fi
echo "test-image: the image with a moved field fails the comparison, as it must"
if [ $# -eq 0 ]; then scripts/test-image-x86.sh; fi
