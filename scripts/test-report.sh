#!/usr/bin/env bash
# The run report in a real browser: builds nicsim, writes the default story's page (and a page of a
# run with faults on the full-speed bus) and opens them in headless Chromium, which must load them
# without a console error and draw the marks their traces call for
# (tests/browser/report_browser_test.py). Installs chromium when missing (as root). Keeps the
# default story's screenshot at build/artifacts/report-default.png and prints its path.
# Usage: scripts/test-report.sh [NICSIM]   (default: build/default/tools/nicsim/nicsim)
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v chromium >/dev/null 2>&1; then
  echo "test-report: installing chromium" >&2
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq chromium >/dev/null
fi

nicsim="${1:-build/default/tools/nicsim/nicsim}"
if [ -z "${1:-}" ]; then
  scripts/setup.sh default nicsim >/dev/null
fi
shot="build/artifacts/report-default.png"
mkdir -p "$(dirname "$shot")"
python3 tests/browser/report_browser_test.py "$nicsim" "$shot"
echo "test-report: screenshot of the default story's report: $(pwd)/$shot"
