#!/usr/bin/env bash
# Makes build/wheel-env-X.Y, the wheel tools (requirements-wheel.txt) for the CPython whose path is
# in $1, unless it is up to date; prints its path.
set -euo pipefail
cd "$(dirname "$0")/.."

python=$1
version=$("$python" -c 'import sys; print(f"{sys.version_info.major}.{sys.version_info.minor}")')
venv=build/wheel-env-$version
if [ ! -x "$venv/bin/python" ]; then
  "$python" -m venv "$venv" >&2
fi
stamp=$venv/.requirements-installed
if [ ! -f "$stamp" ] || [ requirements-wheel.txt -nt "$stamp" ]; then
  "$venv/bin/python" -m pip install --quiet --upgrade pip >&2
  "$venv/bin/python" -m pip install --quiet -r requirements-wheel.txt >&2
  touch "$stamp"
fi
echo "$PWD/$venv"
