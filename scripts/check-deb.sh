#!/usr/bin/env bash
# scripts/check-deb.sh [DEB]: checks a package made by scripts/package-deb.sh
# (default: the one corvane_*.deb in build/release) without installing it:
# unpacks it into a scratch folder, runs the unpacked programs' --version,
# renders both man pages, checks the bash completion and the systemd unit.
# Exits non-zero when any check fails; each failure is named on stderr.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

deb=${1:-}
if [ -z "$deb" ]; then
  shopt -s nullglob
  found=(build/release/corvane_*.deb)
  shopt -u nullglob
  if [ ${#found[@]} -ne 1 ]; then
    echo "check-deb.sh: expected one build/release/corvane_*.deb (scripts/package-deb.sh makes it), found ${#found[@]}" >&2
    exit 1
  fi
  deb=${found[0]}
fi
if [ ! -f "$deb" ]; then
  echo "check-deb.sh: no such file: $deb" >&2
  exit 1
fi

root=$(mktemp -d "${TMPDIR:-/tmp}/corvane-deb.XXXXXX")
trap 'rm -rf "$root"' EXIT
failures=0
fail() {
  echo "check-deb.sh: FAIL: $*" >&2
  failures=$((failures + 1))
}
pass() { echo "check-deb.sh: ok: $*"; }

if ! dpkg -x "$deb" "$root"; then
  echo "check-deb.sh: FAIL: dpkg -x $deb" >&2
  exit 1
fi
version=$(dpkg-deb -f "$deb" Version)

# The programs run from the unpacked tree as they are, without LD_LIBRARY_PATH:
# the version they print is the package's.
for program in corvane corvaned; do
  output=$(env -u LD_LIBRARY_PATH "$root/usr/bin/$program" --version 2>&1)
  status=$?
  if [ $status -ne 0 ]; then
    fail "usr/bin/$program --version exited with $status: $output"
  elif [ "$output" != "$program $version" ]; then
    fail "usr/bin/$program --version printed \"$output\", expected \"$program $version\""
  else
    pass "usr/bin/$program --version: $output"
  fi
done

# corvaned loads libtorrix.so (which loads libtorrix_swarm.so beside itself) and
# runs corvane-proxy-resolver from the folder of
# its real path (usr/bin/corvaned is a link into usr/lib/corvane).
real=$(readlink -f "$root/usr/bin/corvaned")
for companion in libtorrix.so libtorrix_swarm.so corvane-proxy-resolver; do
  if [ -f "$(dirname "$real")/$companion" ]; then
    pass "$companion beside ${real#"$root"/}"
  else
    fail "no $companion beside ${real#"$root"/}"
  fi
done
if [ ! -x "$(dirname "$real")/corvane-proxy-resolver" ]; then
  fail "corvane-proxy-resolver is not executable"
fi

for page in usr/share/man/man1/corvane.1 usr/share/man/man8/corvaned.8; do
  if [ ! -f "$root/$page" ]; then
    fail "no $page"
    continue
  fi
  text=$(MANPAGER=cat MANWIDTH=80 man -l "$root/$page" 2>"$root/man.err")
  status=$?
  if [ $status -ne 0 ] || [ -z "$text" ]; then
    fail "man -l $page (status $status): $(cat "$root/man.err")"
  elif [ -s "$root/man.err" ]; then
    fail "man -l $page warned: $(cat "$root/man.err")"
  else
    pass "man -l $page: $(wc -l <<<"$text") lines"
  fi
done
# corvane(1) carries every command's own help.
if ! env MANPAGER=cat man -l "$root/usr/share/man/man1/corvane.1" 2>/dev/null |
    grep -q 'corvane pause ID'; then
  fail "corvane(1) lacks the help of corvane pause"
fi

completion=$root/usr/share/bash-completion/completions/corvane
if [ ! -f "$completion" ]; then
  fail "no usr/share/bash-completion/completions/corvane"
elif ! bash -n "$completion"; then
  fail "bash -n usr/share/bash-completion/completions/corvane"
else
  # `corvane pa<Tab>`, with the unpacked corvane as the program typed.
  reply=$(bash -c 'source "$1" && complete -p corvane >/dev/null &&
    COMP_WORDS=("$2" pa) && COMP_CWORD=1 && _corvane && echo "${COMPREPLY[*]}"' \
    bash "$completion" "$root/usr/bin/corvane" 2>&1)
  if [ "$reply" = pause ]; then
    pass "completion of \"corvane pa\": $reply"
  else
    fail "completion of \"corvane pa\" gave \"$reply\", expected \"pause\""
  fi
fi

unit=$root/usr/lib/systemd/user/corvaned.service
if [ ! -f "$unit" ]; then
  fail "no usr/lib/systemd/user/corvaned.service"
else
  exec_start=$(grep '^ExecStart=' "$unit")
  if [ "$exec_start" = "ExecStart=/usr/bin/corvaned" ]; then
    pass "unit: $exec_start"
  else
    fail "unit has \"$exec_start\", expected \"ExecStart=/usr/bin/corvaned\""
  fi
fi

if [ $failures -ne 0 ]; then
  echo "check-deb.sh: $failures check(s) failed for $deb" >&2
  exit 1
fi
echo "check-deb.sh: $deb passed"
