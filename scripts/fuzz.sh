#!/usr/bin/env bash
# fuzz.sh [SECONDS]: builds the libFuzzer targets (clang, with AddressSanitizer
# and UndefinedBehaviorSanitizer) and runs each for SECONDS (default 20), two
# at a time, on a copy of its seed corpus in fuzz/corpus/<name>/, so the seeds
# in the tree stay as they are. Prints the executions per target; exits
# non-zero when a target crashed, leaving the input that did it in
# <build>/fuzz-crashes/<name>/ and the target's output beside it.
#
# The build is build/fuzz, configured here when missing. FUZZ_BUILD=DIR uses
# another build configured with -DCORVANE_FUZZ=ON (test.sh passes build/asan,
# whose libraries it has just compiled).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
# libFuzzer reads -max_total_time=0 as "no limit".
if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: scripts/fuzz.sh [SECONDS > 0]" >&2
  exit 2
fi
dir=${FUZZ_BUILD:-build/fuzz}
targets=(rpc_request meta_file xml_documents re file_name torrix_records)

if [ ! -f "$dir/build.ninja" ]; then
  CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCORVANE_WERROR=ON -DCORVANE_FUZZ=ON \
    -DCORVANE_SANITIZE=address,undefined -DCORVANE_BENCH=OFF \
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1"
fi
if ! grep -q '^CORVANE_FUZZ:BOOL=ON$' "$dir/CMakeCache.txt"; then
  echo "fuzz.sh: $dir was configured without -DCORVANE_FUZZ=ON; reconfigure it or remove it" >&2
  exit 2
fi
nice ninja -C "$dir" -j2 "${targets[@]/#/fuzz_}"

# A small quarantine still holds every block one input frees, so a use after
# free within an input is caught; with the default 256 MiB every input's
# allocations land on fresh pages, and the page faults cost meta_file about
# half of its executions.
export ASAN_OPTIONS=quarantine_size_mb=4:${ASAN_OPTIONS:-}
export UBSAN_OPTIONS=print_stacktrace=1:${UBSAN_OPTIONS:-}

# run NAME: one target for the given time; its status is its exit code.
run() {
  local name=$1
  local work=$dir/fuzz-run/$name
  rm -rf "$work"
  mkdir -p "$work/corpus" "$dir/fuzz-crashes/$name"
  cp fuzz/corpus/"$name"/* "$work/corpus/"
  # -timeout: one input that runs this long counts as a failure (a hang).
  nice "$dir/bin/fuzz_$name" -max_total_time="$seconds" -timeout=25 -print_final_stats=1 \
    -artifact_prefix="$dir/fuzz-crashes/$name/" "$work/corpus" >"$work/output.txt" 2>&1
}

# report NAME STATUS: its line of the table; false when it failed.
report() {
  local name=$1 status=$2
  local work=$dir/fuzz-run/$name crashes=$dir/fuzz-crashes/$name
  local executions
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/output.txt" | tail -1)
  if [ "$status" -eq 0 ]; then
    printf '%-15s %12s  %s\n' "$name" "${executions:-?}" ok
    return 0
  fi
  cp "$work/output.txt" "$crashes/output.txt"
  printf '%-15s %12s  %s\n' "$name" "${executions:-?}" "FAILED (exit $status), see $crashes/"
  return 1
}

failed=()
printf '%-15s %12s  %s\n' target executions result
for ((i = 0; i < ${#targets[@]}; i += 2)); do
  pair=("${targets[@]:i:2}")
  pids=()
  for name in "${pair[@]}"; do
    run "$name" &
    pids+=($!)
  done
  for j in "${!pair[@]}"; do
    status=0
    wait "${pids[j]}" || status=$?
    report "${pair[j]}" "$status" || failed+=("${pair[j]}")
  done
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "crashed: ${failed[*]}" >&2
  exit 1
fi
