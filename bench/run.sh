#!/usr/bin/env bash
# Runs every benchmark and prints one table per group: each row is ours, the
# baseline measured in the same run, and the ratio. Takes about 45 minutes
# with its 10-minute reload storm and 30-minute soak; for a quick look:
# BENCH_STORM_SECONDS=60 BENCH_IDLE_SECONDS=10 BENCH_SOAK_MINUTES=0 bench/run.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target jaunvel settings_bench minimal_webview x11_watch >/dev/null

echo "Machine: $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo), $(. /etc/os-release; echo "$PRETTY_NAME")"
echo
build/bench/settings_bench
echo
node bench/shell/shell_bench.mjs "$PWD/build/bin/jaunvel" "$PWD/build/bench/minimal_webview" "$PWD/build/bench/x11_watch"
if [ "${BENCH_SOAK_MINUTES:-30}" != 0 ]; then
  echo
  node bench/soak/soak.mjs "$PWD/build/bin/jaunvel"
fi
if [ -x bench/deck/run.sh ]; then
  echo
  bench/deck/run.sh
fi
