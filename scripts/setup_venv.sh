#!/usr/bin/env bash
# Creates .venv with CPython 3.12 and the build and test tools, unless it is already up to date.
set -euo pipefail
cd "$(dirname "$0")/.."

python=$(scripts/find_python.sh)
stamp=.venv/.requirements-installed
if [ ! -x .venv/bin/python ]; then
  "$python" -m venv .venv
fi
if [ ! -f "$stamp" ] || [ requirements-dev.txt -nt "$stamp" ]; then
  .venv/bin/python -m pip install --quiet --upgrade pip
  .venv/bin/python -m pip install --quiet -r requirements-dev.txt
  touch "$stamp"
fi
