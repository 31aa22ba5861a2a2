#!/usr/bin/env bash
# The shipped x86 image in the 32-bit world (preset host-x86, run under qemu-user where the kernel
# will not start 32-bit programs): every embedded scenario, seeds 1, 2, 7 and 977, on 1 and on 4
# processors, runs on build/windows-x86/windows/usbnic.sys and must give the trace the 32-bit
# world's built-in driver gives, with the allowances of the x64 comparison
# (windows/compare_traces.py); and the built-in driver must give, in the 32-bit world, the very
# trace it gives in the 64-bit one. Then an image built wrong on purpose, with the packet-filter
# write's completion routine __cdecl instead of NTAPI, must fail the comparison with a
# `calling-convention` violation that names the routine.
# Builds only nicsim of host-x86 (scripts/setup-x86.sh), not its tests.
# Usage: scripts/test-image-x86.sh    (scripts/test-image.sh calls it after the x64 comparison)
set -euo pipefail
cd "$(dirname "$0")/.."
image=build/windows-x86/windows/usbnic.sys
nicsim32=build/host-x86/tools/nicsim/nicsim
nicsim64=build/default/tools/nicsim/nicsim
wrong_dir=build/windows-x86-cdecl
wrong_source=media/mac_mode.cpp
wrong_routine=PacketFilterWriteComplete

[ -f "$image" ] || scripts/build-windows.sh
[ -x "$nicsim64" ] || scripts/setup.sh default nicsim
started=$SECONDS
scripts/setup-x86.sh nicsim
echo "test-image-x86: the 32-bit nicsim set up and built in $((SECONDS - started)) s"

started=$SECONDS
python3 windows/compare_traces.py "$nicsim32" "$image" --reference "$nicsim64"
echo "test-image-x86: the x86 comparison took $((SECONDS - started)) s"

# The wrong image: the same sources, one of them with its own NTAPI routines built __cdecl.
command -v i686-w64-mingw32-g++ >/dev/null || scripts/build-windows.sh
cmake -S . -B "$wrong_dir" -G Ninja --toolchain windows/toolchain-x86.cmake -DNICSIM_WINDOWS_IMAGE=ON \
    -DCMAKE_BUILD_TYPE=Release -DNICSIM_TEST_CDECL_SOURCE="$wrong_source" >/dev/null 2>&1
cmake --build "$wrong_dir" --parallel 2 >/dev/null 2>&1 \
    || { echo "test-image-x86: FAIL: the image with $wrong_source __cdecl does not build" >&2;
         cmake --build "$wrong_dir" --parallel 2; exit 1; }
status=0
out=$(python3 windows/compare_traces.py "$nicsim32" "$wrong_dir/windows/usbnic.sys" \
          --scenarios default --seeds 1 --cpus 1) || status=$?
echo "$out" | sed 's/^/  /'
if [ "$status" -ne 1 ] || ! grep -q '"check": "calling-convention"' <<<"$out" \
   || ! grep -q "($wrong_routine)" <<<"$out"; then
  echo "test-image-x86: FAIL: the image with $wrong_routine __cdecl was not caught as a" \
       "calling-convention violation naming it (status $status)" >&2
  exit 1
fi
echo "test-image-x86: the image with $wrong_routine __cdecl fails, named"
