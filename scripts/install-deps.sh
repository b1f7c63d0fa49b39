#!/usr/bin/env bash
# Installs the Debian packages that building and testing Kivo needs, when they are missing.
# Safe to run again: it installs nothing when everything is present.
#   --fuzz    also clang and its runtime libraries, which hold libFuzzer (the fuzz build)
#   --bench   also the peer interpreters of the benchmark comparison
set -euo pipefail

# python3 runs the script tests; Cairo draws the pixels of windows and Xlib puts them on a display;
# libedit gives the interactive prompt its line editing. Xvfb, xdotool and ImageMagick run the
# display tests on a virtual screen; Node.js and npm run the editor grammar's tests, Vim those of
# its syntax file. dpkg-dev, groff-base and man-db build the Debian package and check the manual
# pages.
packages=(cmake ninja-build g++ pkg-config dpkg-dev groff-base man-db libmimalloc-dev libffi-dev libcairo2-dev libx11-dev fonts-dejavu-core
  libedit-dev googletest libgtest-dev libbenchmark-dev python3 xvfb xdotool imagemagick x11-utils
  vim)
for option in "$@"; do
  case "$option" in
    # libclang-rt-dev is only recommended by clang, and it is the package with libFuzzer.
    --fuzz) packages+=(clang libclang-rt-dev) ;;
    --bench) packages+=(lua5.4) ;;
    *)
      echo "usage: scripts/install-deps.sh [--fuzz] [--bench]" >&2
      exit 2
      ;;
  esac
done

# Node.js may come from elsewhere than Debian (its npm then is no Debian package): only the
# commands count.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  packages+=(nodejs npm)
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
