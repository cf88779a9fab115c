#!/usr/bin/env bash
# Creates bench/.venv with the compared systems (bench/requirements-peers.txt), youtokentome if it
# builds, the wrenmark module built into .venv, and the naive word count of bench/naive_count.
# The peers never enter .venv.
set -euo pipefail
cd "$(dirname "$0")/.."

venv=bench/.venv
stamp=$venv/.peers-installed
if [ ! -x $venv/bin/python ]; then
  "$(scripts/find_python.sh)" -m venv $venv
fi
if [ ! -f "$stamp" ] || [ bench/requirements-peers.txt -nt "$stamp" ]; then
  $venv/bin/python -m pip install --quiet --upgrade pip
  $venv/bin/python -m pip install --quiet -r bench/requirements-peers.txt
  $venv/bin/python -m pip install --quiet --no-build-isolation youtokentome \
    || echo "note: youtokentome did not install; the benchmark goes on without it" >&2
  touch "$stamp"
fi

# The package itself: the one that `make build` installed into .venv.
site=$($venv/bin/python -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
rm -rf "$site/wrenmark" "$site"/wrenmark.*.so
cp -r .venv/lib/python3.12/site-packages/wrenmark "$site/"

# The naive word count that every training time is compared with, built against the same
# Abseil as the project, with the CMake and Ninja of .venv (requirements-dev.txt).
.venv/bin/cmake -S bench/naive_count -B $venv/naive-count -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
.venv/bin/cmake --build $venv/naive-count >/dev/null
