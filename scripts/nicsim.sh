#!/usr/bin/env bash
# Sets up, builds and runs nicsim with the given arguments (default: `run`, the embedded story).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh default >&2
if [ $# -eq 0 ]; then set -- run; fi
exec build/default/tools/nicsim/nicsim "$@"
