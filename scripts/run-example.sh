#!/usr/bin/env bash
# Builds the commands and runs an example script with kivo (examples/hello.kvo unless another is
# named; the arguments after it reach the script's main).
# Installs missing Debian packages first.
#   scripts/run-example.sh [script.kvo [arguments ...]]
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

build=build
cmake -S . -B "$build" -G Ninja
cmake --build "$build" -j "$(nproc)" --target kivo kv2 kv2class

script="${1:-examples/hello.kvo}"
shift || true
exec "$build/bin/kivo" "$script" "$@"
