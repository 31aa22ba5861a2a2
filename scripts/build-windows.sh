#!/usr/bin/env bash
# Builds the driver as a Windows kernel-mode image for x86 and x64 (the presets windows-x86 and
# windows-x64, MinGW-w64), as root on a Debian machine: installs what is missing, builds each
# image, builds it a second time from scratch in another directory and fails unless both links
# gave the same bytes, then checks each image and its link map with
# scripts/check-windows-image.py. Prints each image's path, size and SHA-256.
# Usage: scripts/build-windows.sh
set -euo pipefail
cd "$(dirname "$0")/.."

# clang reads the driver's sources for the DDK layouts they rely on; g++-multilib compiles the
# world's declarations for x86.
packages=(cmake ninja-build g++-mingw-w64-i686 g++-mingw-w64-x86-64 python3-pefile clang
          g++-multilib)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "build-windows: installing ${missing[*]}" >&2
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The images are small: two jobs build them quickly and leave the rest of the machine alone.
jobs=2
image=windows/usbnic.sys
failed=0

for arch in x86 x64; do
  preset="windows-$arch"
  echo "build-windows: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --parallel "$jobs"

  # The same sources, configured and linked again from nothing elsewhere: the link carries no
  # timestamp and no build path, so the two images must be the same bytes.
  again="build/$preset-again"
  rm -rf "$again"
  cmake -S . -B "$again" -G Ninja --toolchain "windows/toolchain-$arch.cmake" \
      -DNICSIM_WINDOWS_IMAGE=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$again" --parallel "$jobs"
  first="build/$preset/$image"
  if cmp -s "$first" "$again/$image"; then
    echo "build-windows: $preset: the build from scratch in $again gave the same bytes"
  else
    size_first=$(stat -c %s "$first")
    size_again=$(stat -c %s "$again/$image")
    if [ "$size_first" != "$size_again" ]; then
      how="in length: $size_first and $size_again bytes"
    else
      how="in $( (cmp -l "$first" "$again/$image" || true) | wc -l) bytes"
    fi
    echo "build-windows: $preset: FAIL: $first and $again/$image differ ($how)"
    failed=1
  fi

  # Debian's python3 carries pefile; a python3 earlier on PATH may not.
  /usr/bin/python3 scripts/check-windows-image.py --arch "$arch" "build/$preset/$image" || failed=1
done

# The DDK layouts the images rely on and the world shares with them: the committed table must be
# what the driver's sources and the DDK's headers give (windows/layout/derive_layouts.py), and
# the world's declarations must hold every row in a 32-bit build of the world too (the 64-bit
# build holds them in its own compile, host/CMakeLists.txt).
echo "build-windows: layouts"
/usr/bin/python3 windows/layout/derive_layouts.py --check --jobs "$jobs" || failed=1
if g++ -std=c++20 -m32 -fsyntax-only -I. windows/layout/host_layouts.cpp; then
  echo "build-windows: the world's declarations hold every row of the layout table on x86"
else
  echo "build-windows: FAIL: the world's declarations differ from the DDK's on x86"
  failed=1
fi

echo "build-windows: images"
for arch in x86 x64; do
  path="build/windows-$arch/$image"
  printf '  %-32s %7s bytes  sha256 %s\n' "$path" "$(stat -c %s "$path")" \
         "$(sha256sum "$path" | cut -d' ' -f1)"
done
if [ "$failed" -ne 0 ]; then
  echo "build-windows: FAILED"
  exit 1
fi
echo "build-windows: both images built twice the same and checked"
