#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the unit tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, the unit and end-to-end
# tests on the regular build, a short libFuzzer run on the bridge, and the
# deck's own tests.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build-asan -DJAUNVEL_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs" --target jaunvel_unit_tests
ctest --test-dir build-asan -L unit --output-on-failure

cmake -S . -B build >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure

# The bridge under libFuzzer: a fixed, short run.
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DJAUNVEL_FUZZ=ON >/dev/null
cmake --build build-fuzz -j"$jobs" --target router_fuzzer
mkdir -p build-fuzz/corpus
if ! build-fuzz/bin/router_fuzzer -runs=100000 -max_len=1024 -seed=1 build-fuzz/corpus >build-fuzz/fuzz.log 2>&1; then
  tail -40 build-fuzz/fuzz.log
  exit 1
fi
echo "router_fuzzer: $(grep -E '^Done' build-fuzz/fuzz.log)"

bash deck/run-tests.sh
