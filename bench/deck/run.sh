#!/usr/bin/env bash
# Deck benchmarks: each prints ours, a baseline measured in the same run, and the ratio.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
deck="$here/../../deck"
if [ ! -d "$deck/node_modules/playwright-core" ]; then
  (cd "$deck" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
fi
node "$here/server-bench.js"
node "$here/trigger-bench.js"
