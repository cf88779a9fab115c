"""Times continue_training against train() on the same corpus.

    python bench/continue_training.py [--corpus bench/data/corpus-10MB.txt] [--vocab 8000] [--repeats 3]

Rows: train() to the vocabulary size; continuing to it from the corpus's alphabet (the same work
and the same files, plus the spelling of the words); continuing from half the vocabulary (the
words spelled with that model's merges, half the merges left). The best of the repeats, in
seconds, as a markdown table; timing lines of the trainer go to a temporary file.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

import wrenmark

REPO_ROOT = Path(__file__).resolve().parents[1]


def trained(corpus: str, vocab: int) -> wrenmark.BpeTokenizer:
    tokenizer = wrenmark.BpeTokenizer(corpus, vocab, wrenmark.PreTokenization.whitespace(), ["<unk>", "<s>"])
    tokenizer.train()
    return tokenizer


def best_time(run, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", default=str(REPO_ROOT / "bench" / "data" / "corpus-10MB.txt"))
    parser.add_argument("--vocab", type=int, default=8000)
    parser.add_argument("--repeats", type=int, default=3)
    arguments = parser.parse_args()

    # The trainer writes its timing lines to descriptor 1; keep the table alone on it.
    table_out = os.fdopen(os.dup(1), "w")
    with tempfile.TemporaryFile() as trainer_lines:
        os.dup2(trainer_lines.fileno(), 1)
        alphabet = trained(arguments.corpus, 0)
        half = trained(arguments.corpus, arguments.vocab // 2)
        rows = [
            ("train()", best_time(lambda: trained(arguments.corpus, arguments.vocab), arguments.repeats)),
            ("continue from the alphabet", best_time(
                lambda: alphabet.continue_training(arguments.corpus, arguments.vocab), arguments.repeats)),
            (f"continue from {arguments.vocab // 2}", best_time(
                lambda: half.continue_training(arguments.corpus, arguments.vocab), arguments.repeats)),
        ]
        sys.stdout.flush()
    table_out.write(f"| {Path(arguments.corpus).name}, vocabulary {arguments.vocab} | seconds |\n|---|---|\n")
    for name, seconds in rows:
        table_out.write(f"| {name} | {seconds:.3f} |\n")
    table_out.flush()


if __name__ == "__main__":
    main()
