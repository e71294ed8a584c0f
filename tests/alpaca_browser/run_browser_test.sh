#!/usr/bin/env bash
# Installs the pinned playwright-core beside the test (npm ci, once) and runs
# the setup page test in Debian's Chromium. Skips (exit 77) only when Chromium
# is absent; scripts/install-deps.sh installs it.
#   run_browser_test.sh TEST_FOLDER QM_ALPACA_PROGRAM
set -euo pipefail
if [ $# -ne 2 ]; then
  echo "usage: run_browser_test.sh TEST_FOLDER QM_ALPACA_PROGRAM" >&2
  exit 2
fi
folder=$1 program=$2
chromium=${QM_CHROMIUM:-/usr/bin/chromium}
if [ ! -x "$chromium" ]; then
  echo "run_browser_test.sh: skipped: no Chromium at $chromium (apt-get install chromium)"
  exit 77
fi
cd "$folder"
if [ ! -f node_modules/playwright-core/package.json ] ||
   ! cmp -s package-lock.json node_modules/.package-lock.json.installed; then
  npm ci --no-audit --no-fund --loglevel=error
  cp package-lock.json node_modules/.package-lock.json.installed
fi
QM_ALPACA_PROGRAM=$program QM_CHROMIUM=$chromium exec node --test setup_page.test.mjs
