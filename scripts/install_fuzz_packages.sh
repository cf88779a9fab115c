#!/usr/bin/env bash
# Installs clang, which the fuzzing build needs for its coverage instrumentation, unless present.
set -euo pipefail
command -v clang++-14 >/dev/null 2>&1 && exit 0
sudo_prefix=()
[ "$(id -u)" -eq 0 ] || sudo_prefix=(sudo)
echo "installing Debian packages: clang-14 libclang-rt-14-dev"
"${sudo_prefix[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_prefix[@]}" apt-get install -y -qq clang-14 libclang-rt-14-dev
