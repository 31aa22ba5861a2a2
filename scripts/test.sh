#!/usr/bin/env bash
# Sets up, builds and runs the quick tests.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh default
# What only the tests need, installed as setup.sh installs the build's packages: the scenario
# schema test validates with Debian's python3-jsonschema.
test_packages=(python3-jsonschema)
missing=()
for p in "${test_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "test: installing ${missing[*]}" >&2
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
ctest --preset quick
