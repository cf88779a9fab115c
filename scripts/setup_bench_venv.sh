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
# Abseil as the project, with the CMake and Ninja of .venv (requirements-dev.txt). A build
# directory configured for another checkout (a copied bench/.venv) is made afresh.
if ! grep -qs "^CMAKE_HOME_DIRECTORY:INTERNAL=$PWD/bench/naive_count\$" $venv/naive-count/CMakeCache.txt; then
  rm -rf $venv/naive-count
fi
.venv/bin/cmake -S bench/naive_count -B $venv/naive-count -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
.venv/bin/cmake --build $venv/naive-count >/dev/null

# The module as it was at the baseline commit, for the per-line encoding loop to be measured
# against: built from that commit's tree with the build tools of .venv, into a directory of its
# own that only the baseline's child processes put on their PYTHONPATH. Built once per commit.
baseline_commit=f05a418
baseline_site=$venv/baseline-site
baseline_stamp=$baseline_site/.built-from
if ! git cat-file -e "$baseline_commit^{commit}" 2>/dev/null; then
  echo "note: commit $baseline_commit is not in this clone's history; the benchmark goes on without the baseline" >&2
elif [ "$(cat "$baseline_stamp" 2>/dev/null)" != "$baseline_commit" ]; then
  baseline_tree=$(mktemp -d)
  trap 'rm -rf "$baseline_tree"' EXIT
  git archive "$baseline_commit" | tar -x -C "$baseline_tree"
  rm -rf "$baseline_site"
  PATH="$PWD/.venv/bin:$PATH" .venv/bin/python -m pip install --quiet --no-build-isolation --no-deps \
    --target "$baseline_site" "$baseline_tree"
  echo "$baseline_commit" > "$baseline_stamp"
fi
