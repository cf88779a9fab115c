"""Instruction counts of training and encoding under callgrind: a witness of speed that the
drift of a shared machine does not blur.

    python bench/instruction_counts.py [--corpus bench/data/corpus-10MB.txt] [--bytes 2000000]

    python bench/instruction_counts.py --encode-vocab 32000   # also the encode cases at 32k

Trains on the first BYTES of the corpus (cut at a line end) in both merge modes at a vocabulary
of 8,000, then encodes the held-out text with each model (one `encode` per line, fresh
tokenizer, so every word is seen cold once and warm afterwards). Each case runs in a child
interpreter under `valgrind --tool=callgrind`, once with the measured call and once without it,
and prints one line per case with the difference: the instructions of the call. Compare two builds by
running this before and after; the counts are reproducible to a fraction of a percent.

Two more encode cases per model: "lines warm", the one-call-per-line loop a second time (every
word in the word cache), and "whole", one `encode` of the whole text on a freshly loaded
tokenizer (the tables derived in the call, every word seen cold once), ids read as a buffer
where the Encoder has one. With --encode-vocab, models of that size are trained natively (not
under callgrind) on the whole corpus and get the three encode cases too, and two more: the warm
loop reading `.ids` of every line ("lines-warm-ids") and a second `encode_batch` of all the
lines ("batch-warm"; on one CPU, so the pool's work and the serial part add up).
"""

from __future__ import annotations

import argparse
import json
import re
import subprocess
import sys
import tempfile
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[1]

# The child runs the set-up (imports, loading, reading the text) and, unless told to skip it, the
# measured call; the count of the call is the difference between the two runs. Collecting the
# whole process counts the worker threads too, which a toggle on one function would not.
CHILD = r"""
import os, sys
# One CPU: the worker pool then has no threads of its own, whose spinning would make the count
# follow the machine's load.
os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
import wrenmark
mode, corpus, vocab, merge_all, heldout, model_dir, skip = sys.argv[1:8]

if mode == "train":
    tokenizer = wrenmark.BpeTokenizer(corpus, int(vocab), wrenmark.PreTokenization.whitespace(),
                                      special_tokens=["<unk>", "<s>"], save_model=True,
                                      output_dir=model_dir)
    tokenizer.merge_all_occurrences = merge_all == "1"
    # The held-out text has characters that a small corpus lacks.
    tokenizer.unknown_token = "<unk>"
    if skip == "0":
        tokenizer.train()
elif mode == "encode":
    tokenizer = wrenmark.BpeTokenizer.from_pretrained(model_dir)
    lines = open(heldout, encoding="utf-8").read().splitlines()
    if skip == "0":
        encodings = [tokenizer.encode(line) for line in lines]
elif mode == "lines-warm":
    tokenizer = wrenmark.BpeTokenizer.from_pretrained(model_dir)
    lines = open(heldout, encoding="utf-8").read().splitlines()
    encodings = [tokenizer.encode(line) for line in lines]
    if skip == "0":
        encodings = [tokenizer.encode(line) for line in lines]
elif mode == "lines-warm-ids":
    tokenizer = wrenmark.BpeTokenizer.from_pretrained(model_dir)
    lines = open(heldout, encoding="utf-8").read().splitlines()
    encode = tokenizer.encode
    for line in lines:
        encode(line).ids
    if skip == "0":
        for line in lines:
            encode(line).ids
elif mode == "batch-warm":
    tokenizer = wrenmark.BpeTokenizer.from_pretrained(model_dir)
    lines = open(heldout, encoding="utf-8").read().splitlines()
    encodings = tokenizer.encode_batch(lines)
    if skip == "0":
        encodings = tokenizer.encode_batch(lines)
else:
    tokenizer = wrenmark.BpeTokenizer.from_pretrained(model_dir)
    text = open(heldout, encoding="utf-8").read()
    if skip == "0":
        encoder = tokenizer.encode(text)
        ids = memoryview(encoder.ids_buffer) if hasattr(encoder, "ids_buffer") else None
"""


def prefix_of(corpus: Path, size: int, destination: Path) -> None:
    data = corpus.read_bytes()[:size]
    cut = data.rfind(b"\n")
    destination.write_bytes(data[: cut + 1] if cut >= 0 else data)


def instructions(arguments: list[str], workdir: Path, child: str = CHILD) -> int:
    output = workdir / "callgrind.out"
    command = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={output}",
               sys.executable, "-c", child, *arguments]
    finished = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if finished.returncode != 0:
        raise SystemExit(f"{' '.join(arguments)} failed:\n{finished.stderr.decode(errors='replace')[-2000:]}")
    summary = re.search(rb"^summary:\s+(\d+)", output.read_bytes(), re.MULTILINE)
    if summary is None:
        raise SystemExit(f"no summary in {output}")
    return int(summary.group(1))


def call_instructions_of(child: str, arguments: list[str], workdir: Path) -> int:
    """The instructions of `child`'s measured call: its last argument "0" runs it, "1" skips it."""
    return instructions([*arguments, "0"], workdir, child) - instructions([*arguments, "1"], workdir, child)


def call_instructions(arguments: list[str], workdir: Path) -> int:
    return call_instructions_of(CHILD, arguments, workdir)


def train_natively(corpus: Path, vocab: int, merge_all: str, model_dir: Path) -> None:
    script = ("import sys, wrenmark\n"
              "corpus, vocab, merge_all, model_dir = sys.argv[1:5]\n"
              "tokenizer = wrenmark.BpeTokenizer(corpus, int(vocab), wrenmark.PreTokenization.whitespace(),\n"
              "    special_tokens=['<unk>', '<s>'], save_model=True, output_dir=model_dir)\n"
              "tokenizer.merge_all_occurrences = merge_all == '1'\n"
              "tokenizer.unknown_token = '<unk>'\n"
              "tokenizer.train()\n")
    subprocess.run([sys.executable, "-c", script, str(corpus), str(vocab), merge_all, str(model_dir)],
                   stdout=subprocess.DEVNULL, check=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--corpus", type=Path, default=REPO_ROOT / "bench/data/corpus-10MB.txt")
    parser.add_argument("--heldout", type=Path, default=REPO_ROOT / "bench/data/heldout.txt")
    parser.add_argument("--bytes", type=int, default=2_000_000)
    parser.add_argument("--vocab", type=int, default=8000)
    parser.add_argument("--encode-vocab", type=int, help="also the encode cases with models of this size")
    parser.add_argument("--json", type=Path, help="also write the counts here")
    arguments = parser.parse_args()

    results: dict[str, int] = {}
    with tempfile.TemporaryDirectory() as scratch:
        workdir = Path(scratch)
        corpus = workdir / "corpus.txt"
        prefix_of(arguments.corpus, arguments.bytes, corpus)
        for merge_all in ("0", "1"):
            mode_name = "classic" if merge_all == "1" else "default"
            model_dir = workdir / f"model-{mode_name}"
            common = [str(corpus), str(arguments.vocab), merge_all, str(arguments.heldout), str(model_dir)]
            results[f"train {mode_name}"] = call_instructions(["train", *common], workdir)
            results[f"encode {mode_name}"] = call_instructions(["encode", *common], workdir)
            for case in ("lines-warm", "whole"):
                results[f"encode {mode_name} {case}"] = call_instructions([case, *common], workdir)
        if arguments.encode_vocab:
            for merge_all in ("0", "1"):
                mode_name = "classic" if merge_all == "1" else "default"
                model_dir = workdir / f"model-{mode_name}-{arguments.encode_vocab}"
                train_natively(arguments.corpus, arguments.encode_vocab, merge_all, model_dir)
                common = [str(arguments.corpus), str(arguments.encode_vocab), merge_all, str(arguments.heldout),
                          str(model_dir)]
                for case in ("encode", "lines-warm", "whole", "lines-warm-ids", "batch-warm"):
                    label = f"encode {mode_name}" if case == "encode" else f"encode {mode_name} {case}"
                    results[f"{label} {arguments.encode_vocab}"] = call_instructions([case, *common], workdir)
        for case, count in results.items():
            print(f"{case:<32} {count:>15,}")
    if arguments.json:
        arguments.json.write_text(json.dumps(results, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
