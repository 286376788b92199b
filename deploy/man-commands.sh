#!/usr/bin/env bash
# man-commands.sh CORVANE: writes to standard output a help2man include file
# for corvane(1) with every command's own `corvane COMMAND --help` text, so the
# manual page says what the program says and cannot drift from it.
set -euo pipefail
corvane=$1

# The command names: the indented first words under "Commands:" in `corvane --help`.
commands=$("$corvane" --help | awk '/^Commands:/ { on = 1; next }
  on && /^  [a-z]/ { print $1; next }
  on && !/^  / { on = 0 }')
if [ -z "$commands" ]; then
  echo "man-commands.sh: no commands in the output of $corvane --help" >&2
  exit 1
fi

# Plain text as roff: backslashes escaped, a leading dot or quote made literal.
roff_text() {
  sed -e 's/\\/\\e/g' -e "s/^\([.']\)/\\\\\&\1/"
}

echo "[COMMAND DETAILS]"
for command in $commands; do
  echo ".SS \"corvane $command\""
  echo ".nf"
  "$corvane" "$command" --help | roff_text
  echo ".fi"
done
echo
echo "[SEE ALSO]"
echo ".BR corvaned (8)"
