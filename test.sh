#!/usr/bin/env bash
# Installs what is missing, builds Corvane twice and runs the tests of each
# through CTest:
#   build/asan  clang with AddressSanitizer + UndefinedBehaviorSanitizer, and
#               clang's thread-safety analysis of the lock contracts as errors;
#               every test; the benchmarks are compiled here only.
#   build/tsan  GCC with ThreadSanitizer; the tests labelled "concurrent" (code
#               on several threads at once), the only ones a race can hide in.
# build/asan also makes the libFuzzer targets (CORVANE_FUZZ), and once the last
# build has compiled, scripts/fuzz.sh runs each for 20 s, two at a time, at a
# lower priority beside the tests that are still running.
# The optimised programs are run.sh's (.ci/run runs its demo after this).
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
  echo "== tests of build/$tests_of (ended at ${SECONDS} s)"
  cat "build/$tests_of/ctest.log"
  tests_pid=""
  if [ "$status" != 0 ]; then
    echo "test.sh: the tests of build/$tests_of failed" >&2
    exit "$status"
  fi
}
# The fuzzers are timed runs: started when nothing is left to compile, they
# take the processor time the waiting tests leave.
fuzz_pid=""
start_fuzzers() {
  (FUZZ_BUILD=build/asan scripts/fuzz.sh 20 >build/asan/fuzz.log 2>&1) &
  fuzz_pid=$!
}
finish_fuzzers() {
  local status=0
  wait "$fuzz_pid" || status=$?
  echo "== fuzzers (build/asan, 20 s each; ended at ${SECONDS} s)"
  cat build/asan/fuzz.log
  fuzz_pid=""
  if [ "$status" != 0 ]; then
    echo "test.sh: a fuzzer failed" >&2
    exit "$status"
  fi
}
trap '[ -z "$tests_pid" ] || kill "$tests_pid" 2>/dev/null || true
      [ -z "$fuzz_pid" ] || kill "$fuzz_pid" 2>/dev/null || true' EXIT

echo "== build/asan (clang: sanitizers, thread-safety analysis, benchmarks, fuzzers)"
CXX=clang++ scripts/build.sh asan -DCMAKE_BUILD_TYPE=Debug -DCORVANE_SANITIZE=address,undefined \
  -DCORVANE_BENCH=ON -DCORVANE_FUZZ=ON -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1"
start_tests asan ""

if [ "${CORVANE_TSAN:-1}" = 1 ]; then
  echo "== build/tsan (from ${SECONDS} s)"
  scripts/build.sh tsan -DCMAKE_BUILD_TYPE=Debug -DCORVANE_SANITIZE=thread \
    -DCORVANE_BENCH=OFF -DCORVANE_TEST_LABEL=concurrent -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1"
  echo "== build/tsan built at ${SECONDS} s"
  start_fuzzers
  finish_tests
  start_tests tsan concurrent
else
  start_fuzzers
fi
finish_tests
finish_fuzzers
