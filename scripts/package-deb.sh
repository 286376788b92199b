#!/usr/bin/env bash
# scripts/package-deb.sh: builds the programs and the man pages in build/release
# (scripts/build-release.sh, as run.sh does) and makes a Debian package of them with cpack.
# Prints the path of the .deb, alone on standard output (the build's messages
# go to standard error); install it with `apt install ./corvane_*.deb`.
# Extra cmake settings may come in CORVANE_CMAKE_ARGS (scripts/build-release.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh >&2
build=build/release
# The programs as run.sh builds them, and the man pages.
scripts/build-release.sh man_pages >&2

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
