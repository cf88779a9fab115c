"""Builds reproducible benchmark corpora from Debian's text packages.

Sources, in this fixed order: the English fortunes (fortunes, fortunes-min), the German, Russian
and Chinese fortunes, and the GNU Collaborative International Dictionary of English (dict-gcide).
The last HELD_OUT_FRACTION of every source's lines is kept apart as held-out text; the rest is cut
into blocks of whole lines that are interleaved by their relative position, so that any prefix of
the pool mixes the sources in proportion to their sizes. A corpus of N bytes is the pool repeated
as often as needed and cut at the last line end at or before N bytes.

    python bench/corpus.py --sizes 10MB 100MB 1GB

writes bench/data/corpus-10MB.txt, ..., bench/data/heldout.txt and bench/data/manifest.json,
and skips files that the manifest already records with the same sources and size.
"""

from __future__ import annotations

import argparse
import gzip
import hashlib
import json
import re
import subprocess
import sys
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[1]
DATA_DIR = REPO_ROOT / "bench" / "data"
MANIFEST_NAME = "manifest.json"
HELD_OUT_NAME = "heldout.txt"

FORTUNE_PACKAGES = ["fortunes", "fortunes-min", "fortunes-de", "fortunes-ru", "fortunes-zh"]
DICTIONARY_PACKAGES = ["dict-gcide"]
SOURCE_PACKAGES = FORTUNE_PACKAGES + DICTIONARY_PACKAGES

HELD_OUT_FRACTION = 0.02
BLOCK_BYTES = 64 * 1024
WRITE_CHUNK_BYTES = 8 * 1024 * 1024

_SIZE_UNITS = {"": 1, "B": 1, "KB": 10**3, "MB": 10**6, "GB": 10**9}


def parse_size(text: str) -> int:
    """'10MB' -> 10_000_000 (decimal units: KB, MB, GB)."""
    match = re.fullmatch(r"\s*(\d+(?:\.\d+)?)\s*([KMG]?B?)\s*", text.upper())
    if not match:
        raise ValueError(f"not a size: {text!r}")
    number, unit = match.groups()
    size = int(float(number) * _SIZE_UNITS[unit])
    if size <= 0:
        raise ValueError(f"size must be positive: {text!r}")
    return size


def size_label(size: int) -> str:
    for unit in ("GB", "MB", "KB"):
        if size % _SIZE_UNITS[unit] == 0:
            return f"{size // _SIZE_UNITS[unit]}{unit}"
    return f"{size}B"


def corpus_path(size: int, data_dir: Path = DATA_DIR) -> Path:
    return data_dir / f"corpus-{size_label(size)}.txt"


# --- reading the sources -------------------------------------------------------------------------


def decode_lines(raw: bytes) -> list[bytes]:
    """Splits into lines, each re-encoded as UTF-8 with its line end.

    A few dictionary lines carry stray Windows-1252 bytes; those lines are read as Windows-1252.
    """
    lines = []
    for line in raw.splitlines():
        try:
            line.decode("utf-8")
        except UnicodeDecodeError:
            line = line.decode("cp1252", errors="replace").encode("utf-8")
        lines.append(line + b"\n")
    return lines


def fortune_lines(raw: bytes) -> list[bytes]:
    """A fortune file without the '%' lines that separate its fortunes."""
    return [line for line in decode_lines(raw) if line != b"%\n"]


def package_files(package: str) -> list[Path]:
    listing = subprocess.run(
        ["dpkg", "-L", package], check=True, capture_output=True, text=True
    ).stdout.split("\n")
    if package in DICTIONARY_PACKAGES:
        wanted = [p for p in listing if re.fullmatch(r"/usr/share/dictd/[^/]+\.dict(\.dz)?", p)]
    else:
        wanted = [
            p
            for p in listing
            if p.startswith("/usr/share/games/fortunes/") and not p.endswith((".dat", ".u8"))
        ]
    return sorted(Path(p) for p in wanted if Path(p).is_file())


def package_lines(package: str) -> list[bytes]:
    lines: list[bytes] = []
    for path in package_files(package):
        raw = path.read_bytes()
        if path.suffix == ".dz":
            # dictzip is gzip with random-access extras; plain gzip reads it whole.
            raw = gzip.decompress(raw)
            lines.extend(decode_lines(raw))
        else:
            lines.extend(fortune_lines(raw))
    return lines


def package_version(package: str) -> str | None:
    result = subprocess.run(
        ["dpkg-query", "-W", "-f=${Status} ${Version}", package], capture_output=True, text=True
    )
    if result.returncode != 0 or not result.stdout.startswith("install ok installed"):
        return None
    return result.stdout.rsplit(" ", 1)[1]


def install_sources() -> dict[str, str]:
    """Installs what is missing and returns {package: version} of the sources present."""
    subprocess.run(
        ["bash", str(REPO_ROOT / "scripts" / "install_text_packages.sh"), *SOURCE_PACKAGES],
        check=True,
    )
    versions = {}
    for package in SOURCE_PACKAGES:
        version = package_version(package)
        if version is None:
            print(f"note: {package} is not installed; building without it", file=sys.stderr)
        else:
            versions[package] = version
    return versions


# --- building the pool ---------------------------------------------------------------------------


def split_held_out(lines: list[bytes], fraction: float) -> tuple[list[bytes], list[bytes]]:
    """The first lines train, the last `fraction` of the bytes (whole lines) is held out."""
    total = sum(len(line) for line in lines)
    budget = total * fraction
    held = 0
    cut = len(lines)
    while cut > 1 and held + len(lines[cut - 1]) <= budget:
        cut -= 1
        held += len(lines[cut])
    return lines[:cut], lines[cut:]


def blocks_of(lines: list[bytes], block_bytes: int) -> list[bytes]:
    blocks, current, current_size = [], [], 0
    for line in lines:
        current.append(line)
        current_size += len(line)
        if current_size >= block_bytes:
            blocks.append(b"".join(current))
            current, current_size = [], 0
    if current:
        blocks.append(b"".join(current))
    return blocks


def interleave(sources: list[list[bytes]]) -> list[bytes]:
    """Orders the blocks of all sources by relative position, then by source order."""
    keyed = [
        ((index + 0.5) / len(blocks), source_index, block)
        for source_index, blocks in enumerate(sources)
        for index, block in enumerate(blocks)
    ]
    keyed.sort(key=lambda item: (item[0], item[1]))
    return [block for _, _, block in keyed]


def build_pool(
    sources: list[list[bytes]],
    held_out_fraction: float = HELD_OUT_FRACTION,
    block_bytes: int = BLOCK_BYTES,
) -> tuple[bytes, bytes]:
    """Returns (training pool, held-out text) from the sources' lines."""
    training_blocks, held_out = [], []
    for lines in sources:
        if not lines:
            continue
        training, held = split_held_out(lines, held_out_fraction)
        training_blocks.append(blocks_of(training, block_bytes))
        held_out.extend(held)
    return b"".join(interleave(training_blocks)), b"".join(held_out)


def write_corpus(pool: bytes, size: int, path: Path) -> int:
    """Writes `pool` repeated and cut at the last line end within `size` bytes; returns the length."""
    if not pool.endswith(b"\n"):
        raise ValueError("the pool must end with a line end")
    full_copies, rest = divmod(size, len(pool))
    tail = pool[: pool.rfind(b"\n", 0, rest) + 1]
    partial = path.with_name(path.name + ".partial")
    with open(partial, "wb") as out:
        for _ in range(full_copies):
            for start in range(0, len(pool), WRITE_CHUNK_BYTES):
                out.write(pool[start : start + WRITE_CHUNK_BYTES])
        out.write(tail)
    partial.replace(path)
    return full_copies * len(pool) + len(tail)


# --- the scaling corpus ---------------------------------------------------------------------------

# One word in SCALING_EVERY of the pool (counted over the pool's white-space-separated words)
# carries a suffix naming the copy of the pool it sits in, so every copy brings new distinct
# words: the distinct words grow in proportion to the corpus instead of stopping at the pool.
SCALING_EVERY = 16


def scaling_path(size: int, data_dir: Path = DATA_DIR) -> Path:
    return data_dir / f"scaling-{size_label(size)}.txt"


def scaling_segments(pool: bytes, every: int = SCALING_EVERY) -> list[bytes]:
    """The pool cut right after every `every`-th word, so that a suffix can follow each piece."""
    ends = [match.end() for index, match in enumerate(re.finditer(rb"\S+", pool)) if index % every == every - 1]
    return [pool[start:end] for start, end in zip([0] + ends, ends + [len(pool)])]


def scaling_copy(segments: list[bytes], copy: int) -> bytes:
    """Copy number `copy` of the pool, its marked words suffixed with "~" and the copy number."""
    suffix = b"~" + str(copy).encode()
    return suffix.join(segments[:-1]) + suffix + segments[-1] if len(segments) > 1 else segments[0]


def write_scaling_corpus(pool: bytes, size: int, path: Path) -> int:
    """Writes copies of the pool, each with its own suffixes, cut at a line end within `size`."""
    segments = scaling_segments(pool)
    written = 0
    partial = path.with_name(path.name + ".partial")
    with open(partial, "wb") as out:
        copy = 0
        while written < size:
            text = scaling_copy(segments, copy)
            if written + len(text) > size:
                text = text[: text.rfind(b"\n", 0, size - written) + 1]
                if not text:
                    break
            out.write(text)
            written += len(text)
            copy += 1
    partial.replace(path)
    return written


def prepare_scaling(sizes: list[int], data_dir: Path = DATA_DIR) -> list[Path]:
    """Writes the scaling corpora that are missing; their sizes are checked, not their hashes."""
    paths = [scaling_path(size, data_dir) for size in sizes]
    missing = [(size, path) for size, path in zip(sizes, paths) if not path.is_file()]
    if missing:
        versions = install_sources()
        sources = [package_lines(package) for package in SOURCE_PACKAGES if package in versions]
        pool, _ = build_pool(sources)
        data_dir.mkdir(parents=True, exist_ok=True)
        for size, path in missing:
            written = write_scaling_corpus(pool, size, path)
            print(f"wrote {path} ({written} bytes)")
    return paths


# --- manifest and command line -------------------------------------------------------------------


def sha256_of(path: Path) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as stream:
        while chunk := stream.read(WRITE_CHUNK_BYTES):
            digest.update(chunk)
    return digest.hexdigest()


def load_manifest(data_dir: Path) -> dict:
    try:
        return json.loads((data_dir / MANIFEST_NAME).read_text())
    except (OSError, ValueError):
        return {}


def is_current(manifest: dict, versions: dict[str, str], path: Path) -> bool:
    entry = manifest.get("files", {}).get(path.name)
    return (
        manifest.get("sources") == versions
        and entry is not None
        and path.is_file()
        and path.stat().st_size == entry["bytes"]
    )


def prepare(sizes: list[int], data_dir: Path = DATA_DIR) -> dict:
    versions = install_sources()
    manifest = load_manifest(data_dir)
    targets = [corpus_path(size, data_dir) for size in sizes] + [data_dir / HELD_OUT_NAME]
    if all(is_current(manifest, versions, path) for path in targets):
        return manifest

    sources = [package_lines(package) for package in SOURCE_PACKAGES if package in versions]
    pool, held_out = build_pool(sources)
    data_dir.mkdir(parents=True, exist_ok=True)
    if manifest.get("sources") != versions:
        manifest = {}
    files = manifest.setdefault("files", {})
    manifest.update(
        sources=versions,
        pool_bytes=len(pool),
        held_out_fraction=HELD_OUT_FRACTION,
        block_bytes=BLOCK_BYTES,
    )

    held_out_path = data_dir / HELD_OUT_NAME
    if not is_current(manifest, versions, held_out_path):
        held_out_path.write_bytes(held_out)
        files[held_out_path.name] = {"bytes": len(held_out), "sha256": sha256_of(held_out_path)}
    for size in sizes:
        path = corpus_path(size, data_dir)
        if is_current(manifest, versions, path):
            continue
        written = write_corpus(pool, size, path)
        files[path.name] = {"bytes": written, "sha256": sha256_of(path)}
        print(f"wrote {path.relative_to(REPO_ROOT)} ({written} bytes)")

    (data_dir / MANIFEST_NAME).write_text(json.dumps(manifest, indent=2, sort_keys=True) + "\n")
    return manifest


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", nargs="+", default=["10MB", "100MB", "1GB"])
    args = parser.parse_args(argv)
    prepare([parse_size(text) for text in args.sizes])


if __name__ == "__main__":
    main()
