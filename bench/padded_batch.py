"""Outputs for models: the padded batch call, id buffers and token offsets, each against the
Python path it replaces, on the held-out text.

    python bench/padded_batch.py [--corpus bench/data/corpus-10MB.txt] [--text bench/data/heldout.txt]
                                 [--bytes 2000000] [--vocab 8000] [--repeat 7]

Trains on the first BYTES of the corpus (the unknown token set, since the held-out text has
characters a small corpus lacks), then prints, in wall-clock medians of interleaved rounds on the
held-out text split into lines (all cores of the machine):

- encode_batch_padded (pad to the longest line) against encode_batch followed by the same padded
  numpy arrays built in Python, and against encode_batch alone;
- one encode of the whole text followed by numpy.asarray(ids_buffer), against .ids;
- reading offsets (and word_ids) of every encoding, against encoding alone.

On a machine shared with other work the figures move from run to run; the ratios of one round
to another hold better than the times.
"""

import argparse
import os
import sys
import tempfile
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from batch_encoding import interleaved_medians  # noqa: E402

REPO_ROOT = Path(__file__).resolve().parents[1]


def trained_tokenizer(corpus: Path, size: int, vocab: int, workdir: Path):
    import wrenmark

    data = corpus.read_bytes()[:size]
    prefix = workdir / "corpus.txt"
    prefix.write_bytes(data[: data.rfind(b"\n") + 1])
    tokenizer = wrenmark.BpeTokenizer(str(prefix), vocab, wrenmark.PreTokenization.whitespace(),
                                      special_tokens=["<unk>", "<pad>"])
    tokenizer.unknown_token = "<unk>"
    tokenizer.train()
    return tokenizer


def padded_in_python(batch, pad_id: int):
    rows = [encoder.ids for encoder in batch]
    width = max(map(len, rows), default=0)
    ids = np.full((len(rows), width), pad_id, dtype=np.int64)
    mask = np.zeros((len(rows), width), dtype=np.int64)
    for index, row in enumerate(rows):
        ids[index, : len(row)] = row
        mask[index, : len(row)] = 1
    return ids, mask, np.array(list(map(len, rows)), dtype=np.int64)


def report(title: str, rows: dict, ratios: dict, megabytes: float) -> None:
    print(title)
    for label, seconds in rows.items():
        print(f"  {label:<52} {seconds * 1e3:8.1f} ms {megabytes / seconds:7.1f} MB/s  {ratios[label]:5.2f}x the first")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--corpus", type=Path, default=REPO_ROOT / "bench/data/corpus-10MB.txt")
    parser.add_argument("--text", type=Path, default=REPO_ROOT / "bench/data/heldout.txt")
    parser.add_argument("--bytes", type=int, default=2_000_000)
    parser.add_argument("--vocab", type=int, default=8000)
    parser.add_argument("--repeat", type=int, default=7)
    arguments = parser.parse_args()

    with tempfile.TemporaryDirectory() as workdir:
        tokenizer = trained_tokenizer(arguments.corpus, arguments.bytes, arguments.vocab, Path(workdir))
    pad_id = tokenizer.get_id_by_token("<pad>")
    text = arguments.text.read_text(encoding="utf-8")
    lines = text.split("\n")
    megabytes = len(text.encode("utf-8")) / 1e6
    print(f"{len(lines):,} lines, {megabytes:.1f} MB, {os.cpu_count()} cores; "
          f"load average {os.getloadavg()[0]:.2f}")

    padded = tokenizer.encode_batch_padded(lines, pad_id=pad_id)
    by_hand = padded_in_python(tokenizer.encode_batch(lines), pad_id)
    for name, expected in zip(["ids", "attention_mask", "lengths"], by_hand, strict=True):
        assert np.array_equal(np.asarray(getattr(padded, name)), expected), name

    rows, ratios = interleaved_medians({
        "encode_batch_padded": lambda: tokenizer.encode_batch_padded(lines, pad_id=pad_id),
        "encode_batch + numpy padding in Python": lambda: padded_in_python(tokenizer.encode_batch(lines), pad_id),
        "encode_batch": lambda: tokenizer.encode_batch(lines),
    }, arguments.repeat)
    report("padded batch (ratio: the padded call's time over each row's)", rows, ratios, megabytes)
    print(f"  padded call: {1 / ratios['encode_batch + numpy padding in Python']:.2f}x faster than padding in "
          f"Python, {1 / ratios['encode_batch']:.2f}x the throughput of encode_batch")

    rows, ratios = interleaved_medians({
        "encode(text)": lambda: tokenizer.encode(text),
        "encode(text) + numpy.asarray(ids_buffer)": lambda: np.asarray(tokenizer.encode(text).ids_buffer),
        "encode(text) + .ids": lambda: tokenizer.encode(text).ids,
    }, arguments.repeat)
    report("ids of one encoding of the whole text", rows, ratios, megabytes)

    def with_offsets(encoders):
        for encoder in encoders:
            _ = encoder.offsets
        return encoders

    rows, ratios = interleaved_medians({
        "encode(text)": lambda: tokenizer.encode(text),
        "encode(text) + offsets": lambda: tokenizer.encode(text).offsets,
        "encode(text) + word_ids": lambda: tokenizer.encode(text).word_ids,
        "encode each line": lambda: [tokenizer.encode(line) for line in lines],
        "encode each line + offsets": lambda: with_offsets([tokenizer.encode(line) for line in lines]),
        "encode_batch": lambda: tokenizer.encode_batch(lines),
        "encode_batch + offsets of each": lambda: with_offsets(tokenizer.encode_batch(lines)),
    }, arguments.repeat)
    report("offsets (ratio: encode(text)'s time over each row's)", rows, ratios, megabytes)
    for plain, read in [("encode(text)", "encode(text) + offsets"), ("encode each line", "encode each line + offsets"),
                        ("encode_batch", "encode_batch + offsets of each")]:
        print(f"  reading offsets: {rows[read] / rows[plain] - 1:+.0%} over {plain}")


if __name__ == "__main__":
    main()
