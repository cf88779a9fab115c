#!/usr/bin/env bash
# Writes the main job's corpus: the English fortunes that Debian's fortunes package ships,
# in file-name order, without the "%" lines that separate the fortunes.
set -euo pipefail
cd "$(dirname "$0")/.."

output=${1:-build/corpus/default.txt}
[ -s "$output" ] && exit 0

bash scripts/install_text_packages.sh fortunes

# fortunes-min is a dependency of fortunes and holds a few more English files.
mapfile -t sources < <(
  dpkg -L fortunes fortunes-min 2>/dev/null \
    | grep -E '^/usr/share/games/fortunes/[^/]+$' \
    | grep -vE '\.(dat|u8)$' \
    | LC_ALL=C sort -u
)
[ ${#sources[@]} -gt 0 ] || { echo "no English fortune files found" >&2; exit 1; }

mkdir -p "$(dirname "$output")"
partial="$output.partial"
for source in "${sources[@]}"; do
  [ -f "$source" ] && grep -vx '%' "$source" || true
done >"$partial"
mv "$partial" "$output"
echo "wrote $output ($(wc -c <"$output") bytes from ${#sources[@]} files)"
