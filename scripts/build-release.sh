#!/usr/bin/env bash
# scripts/build-release.sh [TARGET...]: configures build/release (Release, -O2,
# warnings as errors, the package's /usr prefix) and builds the programs, the
# engine library and the proxy helper, plus any TARGET given. The tests are
# test.sh's. Extra cmake settings may come in CORVANE_CMAKE_ARGS
# (e.g. -DCMAKE_CXX_COMPILER_LAUNCHER=ccache). run.sh and package-deb.sh share it.
set -euo pipefail
cd "$(dirname "$0")/.."
# Setting these again on a folder configured before keeps every other setting.
# shellcheck disable=SC2086
cmake -S . -B build/release -G Ninja -DCORVANE_WERROR=ON -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -g1" -DCORVANE_BENCH=OFF -DCMAKE_INSTALL_PREFIX=/usr \
  ${CORVANE_CMAKE_ARGS:-} >/dev/null
cmake --build build/release --target corvaned corvane torrix corvane-proxy-resolver "$@" \
  -- -j"$(nproc)"
