#!/usr/bin/env bash
# Builds kv2 and runs an example script (examples/hello.kvo unless another is named).
# Installs missing Debian packages first.
#   scripts/run-example.sh [script.kvo [arguments ...]]
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

build=build
cmake -S . -B "$build" -G Ninja
cmake --build "$build" -j "$(nproc)" --target kv2

script="${1:-examples/hello.kvo}"
shift || true
exec "$build/bin/kv2" "$script" "$@"
