#!/usr/bin/env bash
# Prints the path of the CPython 3.12 interpreter the project builds against.
set -euo pipefail

if command -v pyenv >/dev/null 2>&1; then
  for candidate in "$(pyenv root)"/versions/3.12.*/bin/python3.12; do
    [ -x "$candidate" ] && { echo "$candidate"; exit 0; }
  done
fi
for candidate in "$HOME"/.pyenv/versions/3.12.*/bin/python3.12 /usr/local/bin/python3.12 /usr/bin/python3.12; do
  [ -x "$candidate" ] && { echo "$candidate"; exit 0; }
done
echo "CPython 3.12 was not found (looked under pyenv and /usr)" >&2
exit 1
