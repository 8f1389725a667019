#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the unit tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, the unit and end-to-end
# tests on the regular build, and the deck's own tests.
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

bash deck/run-tests.sh
