#!/usr/bin/env bash
# man-help.sh PROGRAM ARGUMENT...: what PROGRAM prints, for help2man. The usage
# lines after the first are aligned under it; help2man takes such a line into
# the SYNOPSIS only when it starts with "or:".
set -euo pipefail
program=$1
shift
"$program" "$@" | sed '/^Usage: /,/^$/ s/^       \([^ ]\)/   or: \1/'
