#!/usr/bin/env bash
# fuzz.sh [SECONDS]: builds the libFuzzer targets in build/fuzz (clang, with
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs each for SECONDS
# (default 20) on a copy of its seed corpus in fuzz/corpus/<name>/, so the
# seeds in the tree stay as they are. Prints the executions per target; exits
# non-zero when a target crashed, leaving the input that did it in
# build/fuzz/fuzz-crashes/<name>/ and the target's output beside it.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
# libFuzzer reads -max_total_time=0 as "no limit".
if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: scripts/fuzz.sh [SECONDS > 0]" >&2
  exit 2
fi
dir=build/fuzz
targets=(rpc_request meta_file xml_documents re file_name resume_file)

if [ ! -f "$dir/build.ninja" ]; then
  CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCORVANE_FUZZ=ON \
    -DCORVANE_SANITIZE=address,undefined -DCORVANE_BENCH=OFF \
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1"
fi
nice ninja -C "$dir" -j2 "${targets[@]/#/fuzz_}"

failed=()
printf '%-15s %12s  %s\n' target executions result
for name in "${targets[@]}"; do
  work=$dir/fuzz-run/$name
  crashes=$dir/fuzz-crashes/$name
  rm -rf "$work"
  mkdir -p "$work/corpus" "$crashes"
  cp fuzz/corpus/"$name"/* "$work/corpus/"
  status=0
  # -timeout: one input that runs this long counts as a failure (a hang).
  ASAN_OPTIONS=${ASAN_OPTIONS:-} UBSAN_OPTIONS=print_stacktrace=1:${UBSAN_OPTIONS:-} \
    nice "$dir/bin/fuzz_$name" -max_total_time="$seconds" -timeout=25 -print_final_stats=1 \
    -artifact_prefix="$crashes/" "$work/corpus" >"$work/output.txt" 2>&1 || status=$?
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/output.txt" | tail -1)
  if [ "$status" -eq 0 ]; then
    printf '%-15s %12s  %s\n' "$name" "${executions:-?}" ok
  else
    cp "$work/output.txt" "$crashes/output.txt"
    printf '%-15s %12s  %s\n' "$name" "${executions:-?}" "FAILED (exit $status), see $crashes/"
    failed+=("$name")
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "crashed: ${failed[*]}" >&2
  exit 1
fi
