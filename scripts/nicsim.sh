#!/usr/bin/env bash
# Sets up and builds nicsim alone (its packages, the nicsim target; no tests), then runs it with
# the given arguments (default: `run`, the embedded story). It stays in the directory it was
# called from, so file arguments mean what they mean to the caller.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
"$repo/scripts/setup.sh" default nicsim >&2
if [ $# -eq 0 ]; then set -- run; fi
exec "$repo/build/default/tools/nicsim/nicsim" "$@"
