#!/usr/bin/env bash
# build.sh NAME [cmake options...]: configures (once) and builds build/NAME with Ninja.
set -euo pipefail
cd "$(dirname "$0")/.."
name=$1; shift
dir=build/$name
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S . -B "$dir" -G Ninja -DCORVANE_WERROR=ON "$@"
fi
cmake --build "$dir" -- -j"$(nproc)"
