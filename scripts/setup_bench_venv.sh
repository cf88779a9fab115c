#!/usr/bin/env bash
# Creates bench/.venv with the compared systems (bench/requirements-peers.txt), youtokentome if it
# builds, and the wrenmark module built into .venv. The peers never enter .venv.
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
