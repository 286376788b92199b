#!/usr/bin/env bash
# scripts/package-deb.sh: builds the programs and the man pages in build/release
# (Release, -O2, as run.sh does) and makes a Debian package of them with cpack.
# Prints the path of the .deb, alone on standard output (the build's messages
# go to standard error); install it with `apt install ./corvane_*.deb`.
# Extra cmake settings for a first configure may come in CORVANE_CMAKE_ARGS
# (e.g. -DCMAKE_CXX_COMPILER_LAUNCHER=ccache).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh >&2
build=build/release
# The same settings as run.sh, and the package's prefix: the unit's ExecStart
# and the folders in the package both follow it. Setting it again on a folder
# run.sh configured keeps every other setting.
# shellcheck disable=SC2086
cmake -S . -B "$build" -G Ninja -DCORVANE_WERROR=ON -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -g1" -DCORVANE_BENCH=OFF -DCMAKE_INSTALL_PREFIX=/usr \
  ${CORVANE_CMAKE_ARGS:-} >&2
# The programs, the engine library and the man pages only; the tests are test.sh's.
cmake --build "$build" --target corvaned corvane torrix corvane-proxy-resolver man_pages \
  -- -j"$(nproc)" >&2

rm -f "$build"/corvane_*.deb
(cd "$build" && cpack -G DEB >cpack.log) || {
  cat "$build/cpack.log" >&2
  echo "package-deb.sh: cpack failed (output above)" >&2
  exit 1
}
shopt -s nullglob
debs=("$PWD/$build"/corvane_*.deb)
if [ ${#debs[@]} -ne 1 ]; then
  echo "package-deb.sh: expected one corvane_*.deb in $build, found ${#debs[@]}" >&2
  exit 1
fi
echo "${debs[0]}"
