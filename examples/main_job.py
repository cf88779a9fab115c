"""The main job: train on the default corpus, encode and decode a sample, save the model, load it
back, and check that the loaded tokenizer encodes the sample alike.

    python examples/main_job.py [CORPUS] [--vocab-size N] [--output-dir DIR]
"""

import argparse
import sys
import tempfile
import time

import wrenmark

SAMPLE = "<s>The quick brown fox jumps over the lazy dog.</s> It was a dark and stormy night."
SPECIAL_TOKENS = ["<s>", "</s>"]


def show_encoding(label: str, encoding: wrenmark.Encoder) -> None:
    print(f"{label}:")
    for token, token_id, token_type in zip(encoding.tokens, encoding.ids, encoding.token_types):
        print(f"  {token_id:>6}  {token!r:<20} {token_type!r}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("corpus", nargs="?", default="build/corpus/default.txt")
    parser.add_argument("--vocab-size", type=int, default=8000)
    parser.add_argument("--output-dir", default=None, help="where to save the model (default: a temporary directory)")
    arguments = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="wrenmark-model-") as scratch:
        output_dir = arguments.output_dir or scratch
        tokenizer = wrenmark.BpeTokenizer(
            arguments.corpus,
            arguments.vocab_size,
            wrenmark.PreTokenization.whitespace(),
            SPECIAL_TOKENS,
            wrenmark.SpecialTokenRemovalMethod.aho_corasick(),
            save_model=True,
            output_dir=output_dir,
        )
        started = time.perf_counter()
        tokenizer.train()
        sys.stdout.flush()
        print(f"\ntrained {tokenizer} on {arguments.corpus} in {time.perf_counter() - started:.2f} s;"
              f" model saved in {output_dir}")

        encoding = tokenizer.encode(SAMPLE)
        show_encoding(f"encoded {SAMPLE!r}", encoding)
        decoded = tokenizer.decode(encoding.ids)
        print(f"decoded: {decoded!r}")

        started = time.perf_counter()
        loaded = wrenmark.BpeTokenizer.from_pretrained(output_dir)
        print(f"loaded {loaded} in {(time.perf_counter() - started) * 1000:.1f} ms")
        reloaded = loaded.encode(SAMPLE)
        same = reloaded.ids == encoding.ids and loaded.decode(reloaded.ids) == decoded
        print("the loaded tokenizer encodes and decodes the sample alike:", "yes" if same else "NO")
        return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
