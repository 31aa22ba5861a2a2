#!/usr/bin/env bash
# Checks deploy/kubernetes against the Kubernetes API schema (check-manifests.js says how), with the
# validator's npm packages installed exactly as package-lock.json pins them. Then makes sure the
# check can fail: a copy of the manifests with a field name mistyped must be refused, naming it.
# Usage: deploy/check/check-manifests.sh     (as root on Debian 12; installs Node.js when missing)
set -euo pipefail
cd "$(dirname "$0")"

if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  echo "check-manifests: installing nodejs npm" >&2
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends nodejs npm >/dev/null
fi
npm ci --no-audit --no-fund --loglevel=error >/dev/null

node check-manifests.js ../kubernetes

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp -r ../kubernetes "$scratch/typo"
sed -i 's/^\(  *\)volumeMounts:/\1volumeMount:/' "$scratch/typo/sweep-job.yaml"
if node check-manifests.js "$scratch/typo" 2>"$scratch/errors" >/dev/null; then
  echo "check-manifests: a Job with 'volumeMount' for 'volumeMounts' passed the check" >&2
  exit 1
fi
grep -q 'containers\[0\]\.volumeMount: .*does not exist in type' "$scratch/errors" || {
  echo "check-manifests: the mistyped field was refused without being named:" >&2
  cat "$scratch/errors" >&2
  exit 1
}
echo "check-manifests: a mistyped field (volumeMount) is refused"
