#!/usr/bin/env bash
# Installs what a build needs (Debian packages, as root), configures a preset and builds it.
# Usage: scripts/setup.sh [PRESET [TARGET]]   (default: "default", every target)
#   - no TARGET: what every target and test of PRESET needs (GoogleTest, Google Benchmark,
#     tshark, python3-jsonschema, GNU parallel and valgrind for the tests), a fresh configure so newly installed packages
#     are found, then the whole preset;
#   - TARGET nicsim (scripts/nicsim.sh): only what nicsim needs, a configure only when the tree
#     has none yet (ninja reruns CMake itself when a CMakeLists.txt changes), then nicsim alone.
set -euo pipefail
cd "$(dirname "$0")/.."

preset="${1:-default}"
target="${2:-}"
packages=(cmake ninja-build g++ nlohmann-json3-dev libcli11-dev libmd-dev zlib1g-dev libabsl-dev
          libboost-context-dev pkg-config)
if [ "$target" = nicsim ]; then
  # Not for nicsim itself: the README's bridge recipe addresses the TAPs and pings through them.
  packages+=(iproute2 iputils-ping)
elif [ -z "$target" ]; then
  packages+=(libgtest-dev libbenchmark-dev tshark python3-jsonschema parallel valgrind)
fi
# The fuzz preset builds with clang and links libFuzzer from its runtime library.
if [ "$preset" = fuzz ]; then packages+=(clang libclang-rt-14-dev); fi

# One dpkg-query for the lot: a second run of scripts/nicsim.sh must start at once.
installed=" $(dpkg-query -W -f='${Package}:${db:Status-Abbrev} ' "${packages[@]}" 2>/dev/null || true)"
missing=()
for p in "${packages[@]}"; do
  case "$installed" in *" $p:ii "*) ;; *) missing+=("$p") ;; esac
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}" >&2
  apt-get update -qq
  # tshark would otherwise ask whether ordinary users may capture; nicsim only writes files.
  echo 'wireshark-common wireshark-common/install-setuid boolean false' | debconf-set-selections
  # For nicsim alone, no recommended extras (make, manpages, image libraries for glibc's tools):
  # a fifth less to download on a fresh machine.
  recommends=()
  if [ "$target" = nicsim ]; then recommends=(--no-install-recommends); fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${recommends[@]}" "${missing[@]}" >/dev/null
fi

if [ -z "$target" ] || [ ! -f "build/$preset/build.ninja" ]; then
  cmake --preset "$preset" >/dev/null
fi
if [ -n "$target" ]; then
  cmake --build --preset "$preset" --target "$target"
else
  cmake --build --preset "$preset"
fi
