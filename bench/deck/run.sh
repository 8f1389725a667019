#!/usr/bin/env bash
# Deck benchmarks: each row prints ours, a baseline measured in the same run, and the ratio.
# The server is measured against nginx (installed here from Debian when missing, and started
# by the bench itself on loopback with a configuration of its own; the system's service is
# never started).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
deck="$here/../../deck"
if [ ! -d "$deck/node_modules/playwright-core" ]; then
  (cd "$deck" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
fi
if ! command -v nginx >/dev/null && [ ! -x /usr/sbin/nginx ]; then
  # Debian starts a service on port 80 after installing it, unless policy-rc.d says no.
  made_policy=
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d && chmod +x /usr/sbin/policy-rc.d && made_policy=1
  fi
  apt-get install -y --no-install-recommends nginx-light >/dev/null 2>&1 ||
    { apt-get update >/dev/null && apt-get install -y --no-install-recommends nginx-light >/dev/null; }
  [ -n "$made_policy" ] && rm -f /usr/sbin/policy-rc.d
fi
export NGINX_VERSION="$(/usr/sbin/nginx -v 2>&1 | sed 's|.*/||') "
node "$here/server-bench.js"
echo
node "$here/traffic-bench.js"
echo
node "$here/hostile-bench.js"
echo
node "$here/trigger-bench.js"
