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

# Where kubectl is at hand, its kustomize builds the directory, and every container then runs the
# image the kustomization names (the placeholder replaced everywhere).
if command -v kubectl >/dev/null; then
  want=$(awk '/newName:/{n=$2} /newTag:/{t=$2} END{print n ":" t}' ../kubernetes/kustomization.yaml)
  got=$(kubectl kustomize ../kubernetes | awk '$1 == "image:" {print $2}' | sort -u)
  if [ "$got" != "$want" ]; then
    echo "check-manifests: kubectl kustomize gives the images '$got', not '$want'" >&2
    exit 1
  fi
  echo "check-manifests: kubectl kustomize builds it; every container runs $want"
fi

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
