#!/usr/bin/env bash
# Installs the wheel in dist/ (cp312-abi3) into a fresh virtual environment of CPython $1 (e.g.
# 3.13) and runs the test suite against the installed package. The suite runs from a copy of tests/ (with
# the bench/, scripts/, docs/ and cmake/ files some tests read) in a temporary directory, so neither the
# source tree nor .venv is on the import path.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

version=$1
python=$(scripts/find_python.sh "$version")
wheel=$(ls dist/wrenmark-*-cp312-abi3-*.whl 2>/dev/null | head -n 1)
if [ -z "$wheel" ]; then
  echo "no wheel in dist/: run make wheel" >&2
  exit 1
fi

venv=$root/build/test-wheel-$version
rm -rf "$venv"
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --upgrade pip
"$venv/bin/python" -m pip install --quiet -r requirements-dev.txt "$wheel"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp -r tests scripts docs cmake "$scratch"/
mkdir "$scratch/bench"
cp bench/*.py bench/*.txt "$scratch/bench"/
cd "$scratch"
echo "CPython $version: testing $(basename "$wheel") installed in $venv"
"$venv/bin/python" -m pytest -q -p no:cacheprovider tests
