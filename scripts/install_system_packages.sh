#!/usr/bin/env bash
# Installs the Debian packages that the native build needs, skipping the ones already present.
set -euo pipefail

wanted=(g++ make pkg-config libtbb-dev libsimdjson-dev libabsl-dev)
# Vectorscan and Hyperscan provide the same API and conflict with each other: accept either.
matcher_present() {
  dpkg -s libvectorscan-dev >/dev/null 2>&1 || dpkg -s libhyperscan-dev >/dev/null 2>&1
}

missing=()
for package in "${wanted[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
matcher_present || missing+=(libvectorscan-dev)

[ ${#missing[@]} -eq 0 ] && exit 0

sudo_prefix=()
[ "$(id -u)" -eq 0 ] || sudo_prefix=(sudo)
echo "installing Debian packages: ${missing[*]}"
"${sudo_prefix[@]}" apt-get update -qq
if ! DEBIAN_FRONTEND=noninteractive "${sudo_prefix[@]}" apt-get install -y -qq "${missing[@]}"; then
  # Older or non-x86 releases may only carry Hyperscan under its own name.
  fallback=("${missing[@]/libvectorscan-dev/libhyperscan-dev}")
  DEBIAN_FRONTEND=noninteractive "${sudo_prefix[@]}" apt-get install -y -qq "${fallback[@]}"
fi
