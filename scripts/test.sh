#!/usr/bin/env bash
# Builds Kivo and runs every test. Installs missing Debian packages first.
#   scripts/test.sh              normal build (build/), all tests
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build (build-asan/)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

build=build
flags=(-DKIVO_WERROR=ON -DKIVO_COUNT_OBJECTS=ON)
if [[ "${1:-}" == "--sanitize" ]]; then
  build=build-asan
  flags+=(-DKIVO_SYSTEM_MALLOC=ON -DKIVO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
fi

jobs=$(nproc)
cmake -S . -B "$build" -G Ninja "${flags[@]}"
cmake --build "$build" -j "$jobs"
ctest --test-dir "$build" --output-on-failure -j "$jobs"
