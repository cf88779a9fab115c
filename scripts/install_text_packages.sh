#!/usr/bin/env bash
# Installs the named Debian text packages that are missing; names the archive does not carry are
# skipped with a note. Prints nothing when everything is already installed.
set -euo pipefail

missing=()
for package in "$@"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo_prefix=()
[ "$(id -u)" -eq 0 ] || sudo_prefix=(sudo)
"${sudo_prefix[@]}" apt-get update -qq

available=()
for package in "${missing[@]}"; do
  candidate=$(apt-cache policy "$package" 2>/dev/null | awk '/Candidate:/ {print $2}')
  if [ -z "$candidate" ] || [ "$candidate" = "(none)" ]; then
    echo "skipping $package: not in the package archive" >&2
  else
    available+=("$package")
  fi
done
[ ${#available[@]} -eq 0 ] && exit 0

echo "installing Debian packages: ${available[*]}"
DEBIAN_FRONTEND=noninteractive "${sudo_prefix[@]}" apt-get install -y -qq "${available[@]}" >/dev/null
