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

# The tests of one build run while the next one compiles: most of their time
# is spent waiting (for servers, timers and child programs), which the
# compiler fills. Their output is shown when they have ended.
tests_pid=""
tests_of=""
start_tests() {
  local name=$1 label=$2
  (cd "build/$name" && ctest --output-on-failure -j"$jobs" ${label:+-L "$label"} >ctest.log 2>&1) &
  tests_pid=$!
  tests_of=$name
}
finish_tests() {
  [ -n "$tests_pid" ] || return 0
  local status=0
  wait "$tests_pid" || status=$?
  echo "== tests of build/$tests_of"
  cat "build/$tests_of/ctest.log"
  tests_pid=""
  if [ "$status" != 0 ]; then
    echo "test.sh: the tests of build/$tests_of failed" >&2
    exit "$status"
  fi
}
trap '[ -z "$tests_pid" ] || kill "$tests_pid" 2>/dev/null || true' EXIT

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
echo "== build/release"
scripts/build.sh release -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -g1" \
  -DCORVANE_BENCH=OFF
start_tests release ""

echo "== build/asan"
scripts/build.sh asan -DCMAKE_BUILD_TYPE=Debug -DCORVANE_SANITIZE=address,undefined \
  -DCORVANE_BENCH=OFF -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1"
finish_tests
start_tests asan ""

if [ "${CORVANE_TSAN:-1}" = 1 ]; then
  echo "== build/tsan"
  scripts/build.sh tsan -DCMAKE_BUILD_TYPE=Debug -DCORVANE_SANITIZE=thread \
    -DCORVANE_BENCH=OFF -DCORVANE_TEST_LABEL=concurrent -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1"
  finish_tests
  start_tests tsan concurrent
fi
finish_tests
