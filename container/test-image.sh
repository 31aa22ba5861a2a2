#!/usr/bin/env bash
# Tests the nicsim image as Kubernetes would run it, without a cluster: builds it twice and checks
# that both builds give the same image (manifest digest), then unpacks the OCI archive and runs the
# Jobs of deploy/kubernetes in it under chroot (container/test_image.py says what is checked).
# `podman run` is not used: this machine's cgroup set-up refuses it.
# Usage: container/test-image.sh [SEEDS]     (as root on Debian 12; default seeds 1..1000)
set -euo pipefail
cd "$(dirname "$0")/.."

if ! /usr/bin/python3 -c 'import yaml' 2>/dev/null; then
  echo "test-image: installing python3-yaml" >&2
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends python3 python3-yaml >/dev/null
fi

digest() { tar -xOf build/image/nicsim-oci.tar index.json | /usr/bin/python3 -c 'import json,sys; print(json.load(sys.stdin)["manifests"][0]["digest"])'; }
container/build-image.sh
first=$(digest)
container/build-image.sh >/dev/null
second=$(digest)
if [ "$first" != "$second" ]; then
  echo "test-image: FAILED: two builds of one checkout gave two images ($first, $second)" >&2
  exit 1
fi
echo "test-image: two builds give one image, manifest $first"

# Debian's python3, where python3-yaml is installed, not whichever python3 comes first on the PATH.
/usr/bin/python3 container/test_image.py build/image/nicsim-oci.tar deploy/kubernetes build/image/test "${1:-1..1000}"
rm -rf build/image/test
