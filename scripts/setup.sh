#!/usr/bin/env bash
# Installs what the build needs (Debian packages, as root) and configures and builds one preset.
# Usage: scripts/setup.sh [PRESET]   (default: "default")
set -euo pipefail
cd "$(dirname "$0")/.."

preset="${1:-default}"
packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev
          nlohmann-json3-dev libcli11-dev libpcap-dev zlib1g-dev libabsl-dev pkg-config tshark)
# The fuzz preset builds with clang and links libFuzzer from its runtime library.
if [ "$preset" = fuzz ]; then packages+=(clang libclang-rt-14-dev); fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}" >&2
  apt-get update -qq
  # tshark would otherwise ask whether ordinary users may capture; nicsim only writes files.
  echo 'wireshark-common wireshark-common/install-setuid boolean false' | debconf-set-selections
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
