#!/usr/bin/env bash
# Installs what is missing, builds Corvane three times (Release with assertions,
# AddressSanitizer + UndefinedBehaviorSanitizer, ThreadSanitizer) and runs the
# tests of each through CTest: every test in the first two, the ones labelled
# "concurrent" (code on several threads at once) under ThreadSanitizer.
# CORVANE_TSAN=0 skips the ThreadSanitizer build.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh

jobs=$(nproc)
# run_suite NAME LABEL [cmake options...]: builds build/NAME and runs its tests
# (only those of LABEL when it is not empty).
run_suite() {
  local name=$1 label=$2
  shift 2
  echo "== build/$name"
  scripts/build.sh "$name" "$@"
  (cd "build/$name" && ctest --output-on-failure -j"$jobs" ${label:+-L "$label"})
}

# Lock contracts first (the quickest to fail): clang's thread-safety analysis
# over the programs, the libraries they are made of and the benchmarks, which
# are compiled here only (build/clang/bench/bench_*). Nothing is run.
echo "== build/clang (thread-safety analysis, benchmarks)"
if [ ! -f build/clang/build.ninja ]; then
  CXX=clang++ cmake -S . -B build/clang -G Ninja -DCORVANE_WERROR=ON -DCORVANE_BENCH=ON \
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O0" >/dev/null
fi
benches=$(cmake --build build/clang --target help | sed -n 's/^\(bench_[a-z_]*\):.*/\1/p')
cmake --build build/clang --target corvaned corvane $benches -- -j"$jobs"

# Release with assertions: -O2 without NDEBUG.
run_suite release "" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -g" \
  -DCORVANE_BENCH=OFF
run_suite asan "" -DCMAKE_BUILD_TYPE=Debug -DCORVANE_SANITIZE=address,undefined \
  -DCORVANE_BENCH=OFF -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g"
if [ "${CORVANE_TSAN:-1}" = 1 ]; then
  run_suite tsan concurrent -DCMAKE_BUILD_TYPE=Debug -DCORVANE_SANITIZE=thread \
    -DCORVANE_BENCH=OFF -DCORVANE_TEST_LABEL=concurrent -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g"
fi
