"""Encoding options: what BPE-dropout and byte fallback cost.

    python bench/encoding_options.py [--corpus bench/data/corpus-10MB.txt] [--heldout bench/data/heldout.txt]
                                     [--bytes 2000000] [--vocab 8000] [--dropout 0.1] [--repeat 7]
                                     [--no-instructions]

Trains one model with byte fallback on the first BYTES of the corpus (cut at a line end), so that
every held-out line encodes, and exports it to HF tokenizers' tokenizer.json. Then:

- throughput of `encode_batch` over the held-out lines, in wall-clock time on all cores, for
  wrenmark with dropout 0 and with DROPOUT (seeded), and for HF tokenizers' `encode_batch` on the
  exported model without dropout and with the same DROPOUT. The rows run in interleaved rounds;
  each figure is the median of the rounds, and "x dropout 0" the median of the per-round ratios
  to wrenmark's dropout 0 row. With dropout the word cache is off, so every word is merged again.
- instructions of `encode`, one call per line with a fresh tokenizer as bench/instruction_counts.py
  counts them, on the held-out lines that have no unseen character, with byte fallback off and
  on: the setting should cost nothing there (needs valgrind; skip with --no-instructions).
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from batch_encoding import interleaved_medians  # noqa: E402
from instruction_counts import call_instructions_of, prefix_of  # noqa: E402

REPO_ROOT = Path(__file__).resolve().parents[1]

ENCODE_CHILD = r"""
import os, sys
os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
import wrenmark
model_dir, lines_path, byte_fallback, skip = sys.argv[1:5]
tokenizer = wrenmark.BpeTokenizer.from_pretrained(model_dir)
tokenizer.byte_fallback = byte_fallback == "1"
lines = open(lines_path, encoding="utf-8").read().splitlines()
if skip == "0":
    encodings = [tokenizer.encode(line) for line in lines]
"""


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--corpus", type=Path, default=REPO_ROOT / "bench/data/corpus-10MB.txt")
    parser.add_argument("--heldout", type=Path, default=REPO_ROOT / "bench/data/heldout.txt")
    parser.add_argument("--bytes", type=int, default=2_000_000)
    parser.add_argument("--vocab", type=int, default=8000)
    parser.add_argument("--dropout", type=float, default=0.1)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--no-instructions", action="store_true")
    arguments = parser.parse_args()
    os.environ.setdefault("TOKENIZERS_PARALLELISM", "true")

    import tokenizers
    import wrenmark
    import wrenmark.hf

    with tempfile.TemporaryDirectory() as scratch:
        workdir = Path(scratch)
        corpus = workdir / "corpus.txt"
        prefix_of(arguments.corpus, arguments.bytes, corpus)
        model_dir = workdir / "model"
        trainer = wrenmark.BpeTokenizer(str(corpus), arguments.vocab, wrenmark.PreTokenization.whitespace(),
                                        save_model=True, output_dir=str(model_dir))
        trainer.byte_fallback = True
        trainer.train()

        lines = arguments.heldout.read_text(encoding="utf-8").splitlines()
        size_mb = sum(len(line.encode("utf-8")) + 1 for line in lines) / 1e6
        plain = wrenmark.BpeTokenizer.from_pretrained(str(model_dir))
        dropped = wrenmark.BpeTokenizer.from_pretrained(str(model_dir))
        dropped.dropout = arguments.dropout
        dropped.dropout_seed = 1
        hf_plain = tokenizers.Tokenizer.from_str(wrenmark.hf.to_tokenizers_json(plain))
        hf_dropped = tokenizers.Tokenizer.from_str(wrenmark.hf.to_tokenizers_json(plain, dropout=arguments.dropout))
        rows = {
            "wrenmark dropout 0": lambda: plain.encode_batch(lines),
            f"wrenmark dropout {arguments.dropout}": lambda: dropped.encode_batch(lines),
            "HF tokenizers dropout none": lambda: hf_plain.encode_batch(lines),
            f"HF tokenizers dropout {arguments.dropout}": lambda: hf_dropped.encode_batch(lines),
        }
        medians, ratios = interleaved_medians(rows, arguments.repeat)
        print(f"encode_batch over {len(lines):,} held-out lines ({size_mb:.1f} MB), {os.cpu_count()} cores, "
              f"median of {arguments.repeat} rounds (a loaded machine: compare the ratios)")
        for label, seconds in medians.items():
            print(f"  {label:<28} {size_mb / seconds:8.1f} MB/s  {ratios[label]:6.2f} x dropout 0")

        if arguments.no_instructions:
            return 0
        vocabulary = {plain.get_token_by_id(index) for index in range(plain.vocab_size)}
        seen = [line for line in lines if all(character in vocabulary for character in line if not character.isspace())]
        seen_path = workdir / "seen.txt"
        seen_path.write_text("\n".join(seen) + "\n", encoding="utf-8")
        print(f"encode instructions, {len(seen):,} held-out lines without unseen characters, one encode per line")
        counts = {}
        for byte_fallback in ("0", "1"):
            counts[byte_fallback] = call_instructions_of(ENCODE_CHILD, [str(model_dir), str(seen_path), byte_fallback],
                                                         workdir)
        print(f"  byte_fallback off  {counts['0']:>15,}")
        print(f"  byte_fallback on   {counts['1']:>15,}  ({(counts['1'] / counts['0'] - 1) * 100:+.2f} %)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
