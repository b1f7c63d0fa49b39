#!/bin/bash
# Builds the Release kv2 that the peer benchmarks measure, with profile-guided optimisation when
# the compiler is GCC: an instrumented build runs the training set (bench/peers/train.py), then
# the build proper compiles from the profile it wrote. With another compiler, or with
# --no-pgo, a plain Release build.
#
# usage: bench/build.sh [--no-pgo] [BUILD_DIR]
#   BUILD_DIR defaults to build-bench in the source tree; the instrumented build goes to
#   BUILD_DIR-train and the profile to BUILD_DIR-profile.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
pgo=1
if [ "${1:-}" = "--no-pgo" ]; then
    pgo=0
    shift
fi
build=$(realpath -m "${1:-$root/build-bench}")
jobs=$(nproc 2>/dev/null || echo 2)
common=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DKIVO_BUILD_TESTS=OFF -DKIVO_BUILD_BENCH=OFF)

# CMake takes the compiler that CXX names, else c++; GCC says so in its version text.
if [ "$pgo" = 1 ] && ! "${CXX:-c++}" --version 2>/dev/null | grep -q "Free Software Foundation"; then
    echo "bench/build.sh: the C++ compiler is not GCC; building without profile-guided optimisation" >&2
    pgo=0
fi

if [ "$pgo" = 0 ]; then
    cmake -S "$root" -B "$build" "${common[@]}" -DKIVO_PGO=
    cmake --build "$build" -j"$jobs" --target kv2
    exit 0
fi

profile="$build-profile"
rm -rf "$profile"
cmake -S "$root" -B "$build-train" "${common[@]}" -DKIVO_PGO=generate -DKIVO_PGO_DIR="$profile"
cmake --build "$build-train" -j"$jobs" --target kv2
python3 "$root/bench/peers/train.py" "$build-train/bin/kv2"
cmake -S "$root" -B "$build" "${common[@]}" -DKIVO_PGO=use -DKIVO_PGO_DIR="$profile"
# The objects depend on the profile, which the build system does not know: build them all anew.
cmake --build "$build" -j"$jobs" --target kv2 --clean-first
