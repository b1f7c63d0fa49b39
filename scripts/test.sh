#!/usr/bin/env bash
# Builds Kivo and runs its tests. Installs missing Debian packages first.
#   scripts/test.sh --all        everything CI runs: the four builds below in turn
#   scripts/test.sh              normal build (build/), all tests
#   scripts/test.sh --switch     the interpreter dispatching through its portable switch instead of
#                                computed goto (build-switch/), all tests
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build (build-asan/)
#   scripts/test.sh --fuzz       libFuzzer build with clang (build-fuzz/): replays every kept fuzz
#                                corpus (tests/fuzz/corpus/*) without fuzzing
# The build directories are made in the checkout, or under $KIVO_BUILD_ROOT when it is set.
# Each step prints how long it took.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-}
case "$mode" in
  "" | --all | --switch | --sanitize | --fuzz) ;;
  *)
    echo "usage: scripts/test.sh [--all | --switch | --sanitize | --fuzz]" >&2
    exit 2
    ;;
esac

deps=()
if [[ "$mode" == --all || "$mode" == --fuzz ]]; then deps+=(--fuzz); fi
bash scripts/install-deps.sh "${deps[@]}"

root=${KIVO_BUILD_ROOT:-.}
jobs=$(nproc)

normal_build() {
  local build=$root/build
  cmake -S . -B "$build" -G Ninja -DKIVO_WERROR=ON -DKIVO_COUNT_OBJECTS=ON
  cmake --build "$build" -j "$jobs"
  ctest --test-dir "$build" --output-on-failure -j "$jobs"
}

# The same suite once more with the other instruction dispatch; the benchmarks are left out.
switch_build() {
  local build=$root/build-switch
  cmake -S . -B "$build" -G Ninja -DKIVO_WERROR=ON -DKIVO_COUNT_OBJECTS=ON -DKIVO_SWITCH_DISPATCH=ON \
    -DKIVO_BUILD_BENCH=OFF
  cmake --build "$build" -j "$jobs"
  ctest --test-dir "$build" --output-on-failure -j "$jobs"
}

sanitize_build() {
  local build=$root/build-asan
  # Fontconfig's process-long caches are no leaks of ours.
  export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
  cmake -S . -B "$build" -G Ninja -DKIVO_WERROR=ON -DKIVO_COUNT_OBJECTS=ON \
    -DKIVO_SYSTEM_MALLOC=ON -DKIVO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
  cmake --build "$build" -j "$jobs"
  ctest --test-dir "$build" --output-on-failure -j "$jobs"
}

# Only the fuzz targets are built: the rest of this configuration is the normal suite again.
fuzz_build() {
  local build=$root/build-fuzz
  CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DKIVO_FUZZ=ON -DKIVO_SYSTEM_MALLOC=ON \
    -DKIVO_BUILD_BENCH=OFF
  cmake --build "$build" -j "$jobs" --target kvo_fuzz_all
  ctest --test-dir "$build" --output-on-failure -j "$jobs" -L fuzz-corpus
}

# Runs one step and reports its time; a failing step ends the script, reported by the trap.
current=""
started=0
elapsed() {
  local took=$((SECONDS - started))
  echo "$((took / 60)) min $((took % 60)) s"
}
report_failure() {
  local status=$?
  if [[ -n "$current" && $status -ne 0 ]]; then
    echo "== $current: FAILED after $(elapsed)" >&2
  fi
}
trap report_failure EXIT

step() {
  current=$1
  started=$SECONDS
  echo "== $1"
  "$2"
  echo "== $1: done in $(elapsed)"
  current=""
}

case "$mode" in
  "") step "normal build and tests" normal_build ;;
  --switch) step "switch dispatch build and tests" switch_build ;;
  --sanitize) step "sanitizer build and tests" sanitize_build ;;
  --fuzz) step "fuzz build and corpus replay" fuzz_build ;;
  --all)
    step "normal build and tests" normal_build
    step "switch dispatch build and tests" switch_build
    step "sanitizer build and tests" sanitize_build
    step "fuzz build and corpus replay" fuzz_build
    ;;
esac
