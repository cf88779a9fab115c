#!/usr/bin/env bash
# Builds the source distribution into dist/ with the wheel tools of CPython 3.12.
set -euo pipefail
cd "$(dirname "$0")/.."

venv=$(scripts/setup_wheel_env.sh "$(scripts/find_python.sh)")
"$venv/bin/python" -m build --sdist --no-isolation --outdir dist .
