#!/usr/bin/env bash
# Installs what is missing, builds Corvane three times (Release with assertions,
# AddressSanitizer + UndefinedBehaviorSanitizer, ThreadSanitizer) and runs every
# test of each through CTest. CORVANE_TSAN=0 skips the ThreadSanitizer build.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh

jobs=$(nproc)
run_suite() {
  local name=$1; shift
  echo "== build/$name"
  scripts/build.sh "$name" "$@"
  (cd "build/$name" && ctest --output-on-failure -j"$jobs" --timeout 300)
}

# Lock contracts first (the quickest to fail): clang's thread-safety analysis
# over the programs and the libraries they are made of. Nothing is run.
echo "== build/clang (thread-safety analysis)"
if [ ! -f build/clang/build.ninja ]; then
  CXX=clang++ cmake -S . -B build/clang -G Ninja -DCORVANE_WERROR=ON -DCORVANE_BENCH=OFF \
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O0" >/dev/null
fi
cmake --build build/clang --target corvaned corvane -- -j"$jobs"

# Release with assertions: -O2 without NDEBUG.
run_suite release -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -g"
run_suite asan -DCMAKE_BUILD_TYPE=Debug -DCORVANE_SANITIZE=address,undefined -DCORVANE_BENCH=OFF \
  -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g"
if [ "${CORVANE_TSAN:-1}" = 1 ]; then
  run_suite tsan -DCMAKE_BUILD_TYPE=Debug -DCORVANE_SANITIZE=thread -DCORVANE_BENCH=OFF \
    -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g"
fi
