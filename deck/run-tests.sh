#!/usr/bin/env bash
# Runs every deck test: the server's and the page's (headless Debian chromium).
set -euo pipefail
cd "$(dirname "$0")"

# Install the test dependencies when they are missing or older than the lockfile.
if [ ! -f node_modules/.package-lock.json ] || [ package-lock.json -nt node_modules/.package-lock.json ]; then
  npm ci --no-audit --no-fund --loglevel=error >/dev/null
fi

exec node --test --test-concurrency=1 test/*.test.js
