#!/usr/bin/env bash
# ./run.sh [URL]: installs what is missing, builds Corvane (Release) and runs the
# main job: download URL (or a demo file) with `corvane get`.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh
scripts/build.sh release -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -g"

client=build/release/client/corvane
if [ ! -x "$client" ]; then
  echo "run.sh: the base library is built (build/release), but the service corvaned and the"
  echo "client corvane are not built yet, so there is nothing to download with."
  echo "run.sh: what exists can be checked with ./test.sh; benchmarks are in build/release/bench/."
  exit 0
fi

exec "$client" get "$@"
