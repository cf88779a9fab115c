#!/usr/bin/env bash
# Prints the path of a CPython interpreter: the version in $1 (default 3.12, the one the project
# builds against), from pyenv or the usual places.
set -euo pipefail

version=${1:-3.12}
if command -v pyenv >/dev/null 2>&1; then
  for candidate in "$(pyenv root)"/versions/"$version".*/bin/python"$version"; do
    [ -x "$candidate" ] && { echo "$candidate"; exit 0; }
  done
fi
for candidate in "$HOME"/.pyenv/versions/"$version".*/bin/python"$version" /usr/local/bin/python"$version" /usr/bin/python"$version"; do
  [ -x "$candidate" ] && { echo "$candidate"; exit 0; }
done
echo "CPython $version was not found (looked under pyenv and /usr)" >&2
exit 1
