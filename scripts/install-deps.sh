#!/usr/bin/env bash
# Installs the Debian packages that building and testing Kivo needs, when they are missing.
# Safe to run again: it installs nothing when everything is present.
set -euo pipefail

packages=(cmake ninja-build g++ libmimalloc-dev libffi-dev googletest libgtest-dev libbenchmark-dev)
if [[ "${1:-}" == "--bench" ]]; then
  packages+=(lua5.4 python3)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi
