"""Encoding and decoding throughput on a corpus, with and without special tokens.

    python bench/encode_throughput.py CORPUS [--vocab-size 8000] [--repeat 3]
    python bench/encode_throughput.py --models MODEL_DIR... --text HELD_OUT [--repeat 5]

CORPUS is any UTF-8 text, for example bench/data/corpus-10MB.txt from bench/corpus.py.

With --models, each saved model (say a default-mode and a classic-mode model of one corpus)
encodes HELD_OUT as the speed targets name it: the warm one-call-per-line loop, one `encode` of
the whole text on a freshly loaded tokenizer (the tables derived in the call; ids read as a
buffer where the Encoder has one, else `.ids` timed apart), and `encode_batch` of the lines
against the loop, in wall-clock time since it uses every core. Lines with a character that a
model lacks are dropped for all models alike.

A vocabulary is trained on the corpus itself, then the whole corpus is encoded and its ids
decoded. The first encode runs with an empty word cache; the best of the repeats shows the
steady state. For the runs with special tokens the tokenizer is trained with two special tokens
and the text gets one after every line and one every 50 lines. The last line times one word of
1 MB (the corpus without its white space), the case that needs the queue of ranks.
"""

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

import wrenmark

sys.path.insert(0, str(Path(__file__).resolve().parent))
import convert  # noqa: E402

SPECIAL_TOKENS = ["<|endoftext|>", "<sep>"]


def train(corpus_path: str, vocab_size: int, special_tokens):
    tokenizer = wrenmark.BpeTokenizer(
        corpus_path, vocab_size, wrenmark.PreTokenization.whitespace(), list(special_tokens))
    started = time.perf_counter()
    tokenizer.train()
    return tokenizer, time.perf_counter() - started


def timed(function, repeat: int):
    """Result of the last call, the time of the first call, and the best time over `repeat`
    calls. Times are processor time: the calls run on one thread, so this is the work done and
    does not count waiting for a processor on a busy machine."""
    times = []
    result = None
    for _ in range(repeat):
        started = time.process_time()
        result = function()
        times.append(time.process_time() - started)
    return result, times[0], min(times)


def with_special_tokens(text: str) -> str:
    lines = text.split("\n")
    return "\n".join(
        line + " <sep>" + (" <|endoftext|>" if index % 50 == 49 else "") for index, line in enumerate(lines))


def report(label: str, text: str, tokenizer, repeat: int) -> None:
    size_mb = len(text.encode("utf-8")) / 1e6
    encoder, first, best = timed(lambda: tokenizer.encode(text), repeat)
    ids = encoder.ids
    decoded, decode_first, decode_best = timed(lambda: tokenizer.decode(ids), repeat)
    decoded_mb = len(decoded.encode("utf-8")) / 1e6
    print(f"{label}: {size_mb:.1f} MB, {len(ids):,} tokens")
    print(f"  encode: first {size_mb / first:7.1f} MB/s, best {size_mb / best:7.1f} MB/s, "
          f"{len(ids) / best / 1e6:6.2f} M tokens/s")
    print(f"  decode: first {decoded_mb / decode_first:7.1f} MB/s, best {decoded_mb / decode_best:7.1f} MB/s, "
          f"{len(ids) / decode_best / 1e6:6.2f} M tokens/s")


def known_lines(text: str, model_dirs: list[str]) -> list[str]:
    alphabets = []
    for model_dir in model_dirs:
        id_to_token, _ = convert.read_model(Path(model_dir))
        alphabets.append({token for token in id_to_token if len(token) == 1})
    return [line for line in text.split("\n")
            if all(all(c in alphabet or c in convert.WHITE_SPACE for c in line) for alphabet in alphabets)]


def report_models(model_dirs: list[str], text_path: str, repeat: int) -> None:
    lines = known_lines(Path(text_path).read_text(encoding="utf-8"), model_dirs)
    text = "\n".join(lines)
    size_mb = len(text.encode("utf-8")) / 1e6
    print(f"{len(lines):,} lines, {size_mb:.2f} MB")
    for model_dir in model_dirs:
        tokenizer = wrenmark.BpeTokenizer.from_pretrained(model_dir)
        def loop(tokenizer=tokenizer):
            return [tokenizer.encode(line) for line in lines]
        loop()
        _, _, loop_best = timed(loop, repeat)

        fresh_times, ids_times = [], []
        for _ in range(repeat):
            fresh = wrenmark.BpeTokenizer.from_pretrained(model_dir)
            started = time.process_time()
            encoder = fresh.encode(text)
            ids = memoryview(encoder.ids_buffer) if hasattr(encoder, "ids_buffer") else None
            fresh_times.append(time.process_time() - started)
            if ids is None:
                started = time.process_time()
                ids = encoder.ids
                ids_times.append(time.process_time() - started)
        ids_note = f", .ids apart {min(ids_times) * 1000:.1f} ms" if ids_times else " (ids as a buffer)"

        def wall(function):
            times = []
            for _ in range(repeat):
                started = time.perf_counter()
                function()
                times.append(time.perf_counter() - started)
            return min(times)
        batch_ratio = wall(loop) / wall(lambda tokenizer=tokenizer: tokenizer.encode_batch(lines))
        print(f"{model_dir}:")
        print(f"  warm per-line loop   {size_mb / loop_best:7.1f} MB/s")
        print(f"  fresh whole text     {size_mb / min(fresh_times):7.1f} MB/s{ids_note}")
        print(f"  encode_batch         {batch_ratio:7.2f}x the loop ({os.cpu_count()} threads, wall clock)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("corpus", nargs="?")
    parser.add_argument("--vocab-size", type=int, default=8000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--models", nargs="+", help="saved models to encode --text with")
    parser.add_argument("--text", help="the held-out text for --models")
    arguments = parser.parse_args()
    if arguments.models:
        if not arguments.text:
            parser.error("--models needs --text")
        print(f"load average {' '.join(f'{load:.2f}' for load in os.getloadavg())} on {os.cpu_count()} processors")
        report_models(arguments.models, arguments.text, arguments.repeat)
        return
    if not arguments.corpus:
        parser.error("give a CORPUS, or --models with --text")
    text = Path(arguments.corpus).read_text(encoding="utf-8")

    print(f"load average {' '.join(f'{load:.2f}' for load in os.getloadavg())} on {os.cpu_count()} processors")
    plain, seconds = train(arguments.corpus, arguments.vocab_size, [])
    print(f"trained {plain} in {seconds:.1f} s")
    report("without special tokens", text, plain, arguments.repeat)

    special_text = with_special_tokens(text)
    with tempfile.TemporaryDirectory() as directory:
        special_corpus = os.path.join(directory, "corpus.txt")
        Path(special_corpus).write_text(special_text, encoding="utf-8")
        special, seconds = train(special_corpus, arguments.vocab_size, SPECIAL_TOKENS)
    print(f"trained {special} with special tokens in {seconds:.1f} s")
    report("with special tokens", special_text, special, arguments.repeat)

    long_word = "".join(text[:2_000_000].split())[:1_000_000]
    encoder, _first, best = timed(lambda: plain.encode(long_word), arguments.repeat)
    print(f"one word of {len(long_word.encode('utf-8')) / 1e6:.1f} MB: {best * 1000:.0f} ms, "
          f"{len(encoder.ids):,} tokens")


if __name__ == "__main__":
    main()
