#!/usr/bin/env bash
# Creates a separate virtual environment for a tool build (sanitizers, fuzzing) with the build
# and test tools and any extra packages named after it, unless it is already up to date.
# Usage: scripts/setup_tool_venv.sh VENV_DIR [EXTRA_PACKAGE...]
set -euo pipefail
cd "$(dirname "$0")/.."

venv=$1
shift
python=$(scripts/find_python.sh)
stamp=$venv/.requirements-installed
if [ ! -x "$venv/bin/python" ]; then
  "$python" -m venv "$venv"
fi
if [ ! -f "$stamp" ] || [ requirements-dev.txt -nt "$stamp" ]; then
  "$venv/bin/python" -m pip install --quiet --upgrade pip
  "$venv/bin/python" -m pip install --quiet -r requirements-dev.txt "$@"
  touch "$stamp"
fi
