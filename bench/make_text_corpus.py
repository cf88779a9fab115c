"""Builds a plain-text corpus for the benchmarks from text files found on a Debian machine.

    python bench/make_text_corpus.py OUTPUT [--megabytes 10]

Licences, vim's help files and package change logs are concatenated, in a fixed order, until
the size is reached; files that are not valid UTF-8 are skipped.
"""

import argparse
import gzip
from pathlib import Path

SOURCES = [
    ("/usr/share/common-licenses", "*"),
    ("/usr/share/vim", "**/doc/*.txt"),
    ("/usr/share/doc", "*/changelog*.gz"),
]


def candidate_files():
    for root, pattern in SOURCES:
        yield from sorted(path for path in Path(root).glob(pattern) if path.is_file())


def read_text(path: Path):
    data = path.read_bytes()
    if path.suffix == ".gz":
        data = gzip.decompress(data)
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return None


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("output")
    parser.add_argument("--megabytes", type=float, default=10.0)
    arguments = parser.parse_args()
    limit = int(arguments.megabytes * 1_000_000)
    pieces, size = [], 0
    for path in candidate_files():
        text = read_text(path)
        if not text:
            continue
        pieces.append(text)
        size += len(text.encode("utf-8"))
        if size >= limit:
            break
    Path(arguments.output).write_text("\n".join(pieces), encoding="utf-8")
    print(f"wrote {size / 1e6:.1f} MB from {len(pieces)} files to {arguments.output}")


if __name__ == "__main__":
    main()
