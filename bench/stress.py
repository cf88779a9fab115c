"""Stress runs of training and encoding on extreme inputs (run by `make stress`).

Each scenario runs in a child process of its own, so that its peak resident memory can be read,
a crash shows as a signal and a hang as a timeout. A scenario checks its own result and reports
"ok", or the clear error the module raised. Prints one line per scenario: status, wall time, peak
resident memory and what was checked.

    python bench/stress.py                 # all scenarios
    python bench/stress.py --only long_word special_tokens_simple
"""

from __future__ import annotations

import argparse
import json
import os
import random
import re
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[1]
DATA_DIR = REPO_ROOT / "bench" / "data"
sys.path.insert(0, str(REPO_ROOT / "tests"))

MB = 10**6


# ---------------------------------------------------------------------------------------------
# Helpers used inside the child


def vocab_size(tokenizer) -> int:
    return int(re.fullmatch(r"BpeTokenizer\(vocab_size=(\d+)\)", repr(tokenizer)).group(1))


def expected_decoding(text: str) -> str:
    """What decode(encode(text).ids) gives for text without special tokens: its words (split at
    white space, as training splits them), each followed by one space."""
    from reference.literal_training import split_on_white_space

    return "".join(word + " " for word in split_on_white_space(text))


def make_tokenizer(corpus: Path, target: int, special_tokens=(), aho_corasick=False, **options):
    import wrenmark

    return wrenmark.BpeTokenizer(
        str(corpus), target, wrenmark.PreTokenization.whitespace(), list(special_tokens),
        wrenmark.SpecialTokenRemovalMethod.aho_corasick() if aho_corasick
        else wrenmark.SpecialTokenRemovalMethod.simple(), **options)


class Timer:
    def __init__(self):
        self.marks = {}

    def measure(self, name, call):
        start = time.perf_counter()
        result = call()
        self.marks[name] = round(time.perf_counter() - start, 2)
        return result


def check_round_trip(tokenizer, text: str, timer: Timer, label: str):
    encoding = timer.measure(f"encode {label}", lambda: tokenizer.encode(text))
    decoded = timer.measure(f"decode {label}", lambda: tokenizer.decode(encoding.ids))
    assert decoded == expected_decoding(text), f"{label}: decode(encode(text)) differs"
    return encoding


def corpus_file(name: str, sizes: str) -> Path:
    path = DATA_DIR / f"corpus-{name}.txt"
    if not path.exists():
        subprocess.run([sys.executable, str(REPO_ROOT / "bench" / "corpus.py"), "--sizes", *sizes.split()], check=True)
    return path


# ---------------------------------------------------------------------------------------------
# Scenarios: each takes a scratch directory and returns a dict of what it measured and checked


def corpus_1gb(scratch: Path):
    corpus = corpus_file("1GB", "10MB 1GB")
    timer = Timer()
    tokenizer = make_tokenizer(corpus, 32_000)
    timer.measure("train", tokenizer.train)
    assert vocab_size(tokenizer) == 32_000
    with open(corpus, encoding="utf-8") as file:
        sample = file.read(2 * MB)
    check_round_trip(tokenizer, sample, timer, "2 MB")
    del tokenizer

    # One-pass removal over the whole gigabyte: a one-character token can never survive it.
    removing = make_tokenizer(corpus, 8_000, ["Q", "the", "<|endoftext|>"], aho_corasick=True)
    timer.measure("train with 3 special tokens, AhoCorasick", removing.train)
    vocabulary = [removing.get_token_by_id(token_id) for token_id in range(vocab_size(removing))]
    assert not any("Q" in token for token in vocabulary[3:]), "Q was left in the corpus"
    return {"timings_s": timer.marks,
            "checked": "32,000 tokens; decode(encode(2 MB of the corpus)); no Q left after removal"}


def long_word(scratch: Path):
    rng = random.Random(7)
    # Few letters and a skewed choice, so that pairs repeat and merges keep finding work.
    word = "".join(rng.choices("abcdefgh", weights=[30, 20, 15, 10, 10, 8, 4, 3], k=10 * MB))
    corpus = scratch / "long-word.txt"
    corpus.write_text(word, encoding="utf-8")
    timer = Timer()
    tokenizer = make_tokenizer(corpus, 5_000)
    timer.measure("train on one 10 MB word", tokenizer.train)
    assert vocab_size(tokenizer) == 5_000
    check_round_trip(tokenizer, word, timer, "the 10 MB word")
    other = "".join(rng.choices("abcdefgh", k=10 * MB))
    check_round_trip(tokenizer, other, timer, "another 10 MB word")

    # A tokenizer trained on ordinary text, encoding a 10 MB word made of its characters.
    ordinary = make_tokenizer(corpus_file("10MB", "10MB"), 8_000)
    timer.measure("train on 10 MB of text", ordinary.train)
    check_round_trip(ordinary, "".join(rng.choices("etaoinshrdlu", k=10 * MB)), timer, "a 10 MB word, ordinary model")
    return {"timings_s": timer.marks, "checked": "5,000 tokens; three 10 MB words decode to themselves"}


SPECIAL_COUNT = 10_000


def special_tokens_corpus(scratch: Path):
    rng = random.Random(11)
    tokens = [f"<|sp{index:05d}|>" for index in range(SPECIAL_COUNT)]
    with open(corpus_file("10MB", "10MB"), encoding="utf-8") as file:
        words = file.read(2 * MB).split(" ")
    pieces = []
    for word in words:
        pieces.append(word)
        if rng.random() < 0.1:
            pieces.append(rng.choice(tokens))
    corpus = scratch / "special.txt"
    corpus.write_text(" ".join(pieces), encoding="utf-8")
    return tokens, corpus


def special_tokens(scratch: Path, aho_corasick: bool):
    tokens, corpus = special_tokens_corpus(scratch)
    timer = Timer()
    tokenizer = make_tokenizer(corpus, 20_000, tokens, aho_corasick)
    timer.measure("train", tokenizer.train)
    vocabulary = [tokenizer.get_token_by_id(token_id) for token_id in range(vocab_size(tokenizer))]
    assert vocabulary[:SPECIAL_COUNT] == tokens
    assert not any("<|sp" in token for token in vocabulary[SPECIAL_COUNT:]), "a special token was left in the corpus"
    text = " the ".join(tokens[::7])
    encoding = timer.measure("encode 1,429 special tokens", lambda: tokenizer.encode(text))
    special_ids = [token_id for token_id in encoding.ids if token_id < SPECIAL_COUNT]
    assert special_ids == list(range(0, SPECIAL_COUNT, 7))
    return {"timings_s": timer.marks, "vocab": vocabulary,
            "checked": "10,000 special tokens first in the vocabulary, none left in the corpus; encode splits at them"}


def special_tokens_simple(scratch: Path):
    result = special_tokens(scratch, aho_corasick=False)
    result.pop("vocab")
    return result


def special_tokens_aho_corasick(scratch: Path):
    result = special_tokens(scratch, aho_corasick=True)
    # The tokens do not overlap, so both removal methods must give the same model.
    tokens, corpus = special_tokens_corpus(scratch)
    simple = make_tokenizer(corpus, 20_000, tokens)
    simple.train()
    assert [simple.get_token_by_id(token_id) for token_id in range(vocab_size(simple))] == result.pop("vocab")
    result["checked"] += "; same model as simple()"
    return result


def vocab_1m(scratch: Path):
    import wrenmark

    timer = Timer()
    model = scratch / "model"
    tokenizer = make_tokenizer(corpus_file("100MB", "10MB 100MB"), 1_000_000, save_model=True, output_dir=str(model))
    timer.measure("train and save", tokenizer.train)
    size = vocab_size(tokenizer)
    loaded = timer.measure("from_pretrained", lambda: wrenmark.BpeTokenizer.from_pretrained(str(model)))
    assert repr(loaded) == repr(tokenizer)
    with open(corpus_file("10MB", "10MB"), encoding="utf-8") as file:
        sample = file.read(MB)
    encoding = check_round_trip(tokenizer, sample, timer, "1 MB")
    assert timer.measure("encode 1 MB, loaded", lambda: loaded.encode(sample).ids) == encoding.ids
    files_mb = sum(path.stat().st_size for path in model.iterdir()) / MB
    return {"timings_s": timer.marks, "vocab_size": size, "model_files_mb": round(files_mb, 1),
            "checked": f"{size:,} tokens; saved ({files_mb:.0f} MB), loaded, same encoding"}


def chars_100k(scratch: Path):
    from reference.literal_training import WHITE_SPACE_CHARACTERS

    characters = []
    code_point = 0x21
    while len(characters) < 100_000:
        character = chr(code_point)
        if not (0xD800 <= code_point <= 0xDFFF) and character not in WHITE_SPACE_CHARACTERS:
            characters.append(character)
        code_point += 1
    rng = random.Random(5)
    shuffled = characters[:]
    rng.shuffle(shuffled)
    words = ["".join(shuffled[index:index + 5]) for index in range(0, len(shuffled), 5)]
    words += ["".join(rng.choices(characters[:2000], k=rng.randint(1, 8))) for _ in range(200_000)]
    rng.shuffle(words)
    corpus = scratch / "chars.txt"
    corpus.write_text(" ".join(words), encoding="utf-8")
    timer = Timer()
    tokenizer = make_tokenizer(corpus, 120_000)
    timer.measure("train", tokenizer.train)
    assert all(tokenizer.get_id_by_token(character) is not None for character in characters)
    check_round_trip(tokenizer, " ".join(words[:50_000]), timer, "50,000 words")
    check_round_trip(tokenizer, "".join(characters), timer, "every character as one word")
    return {"timings_s": timer.marks, "vocab_size": vocab_size(tokenizer),
            "checked": "all 100,000 characters have a token; round trips"}


SCENARIOS = {
    "corpus_1gb": corpus_1gb,
    "long_word": long_word,
    "special_tokens_simple": special_tokens_simple,
    "special_tokens_aho_corasick": special_tokens_aho_corasick,
    "vocab_1m": vocab_1m,
    "chars_100k": chars_100k,
}


# ---------------------------------------------------------------------------------------------
# The parent: runs each scenario in a child and reports


def run_child(name: str, result_path: Path):
    with tempfile.TemporaryDirectory(prefix=f"wrenmark-stress-{name}-") as scratch:
        try:
            outcome = {"status": "ok", **SCENARIOS[name](Path(scratch))}
        except RuntimeError as error:
            outcome = {"status": f"error: {error}"}
        except AssertionError as error:
            outcome = {"status": f"WRONG RESULT: {error}"}
    result_path.write_text(json.dumps(outcome), encoding="utf-8")


def run_parent(names: list[str], timeout: float) -> int:
    failures = 0
    for name in names:
        with tempfile.NamedTemporaryFile(suffix=".json", delete=False) as handle:
            result_path = Path(handle.name)
        start = time.perf_counter()
        child = subprocess.Popen([sys.executable, __file__, "--child", name, str(result_path)],
                                 stdout=subprocess.DEVNULL)
        killed = threading.Event()

        def kill(child=child, killed=killed):
            killed.set()
            child.kill()

        watchdog = threading.Timer(timeout, kill)
        watchdog.start()
        _, status, usage = os.wait4(child.pid, 0)
        watchdog.cancel()
        child.returncode = status  # reaped here, with its resource usage
        wall = time.perf_counter() - start
        peak_mb = usage.ru_maxrss / 1024
        if killed.is_set():
            outcome = {"status": f"HANG: killed after {timeout:.0f} s"}
        elif os.WIFSIGNALED(status):
            outcome = {"status": f"CRASH: signal {os.WTERMSIG(status)}"}
        else:
            text = result_path.read_text(encoding="utf-8")
            outcome = json.loads(text) if text else {"status": f"CRASH: exit status {os.WEXITSTATUS(status)}"}
        result_path.unlink(missing_ok=True)
        failures += outcome["status"] != "ok"
        print(f"{name:28} {outcome['status'][:90]:8} {wall:8.1f} s  peak RSS {peak_mb:8.0f} MB  "
              f"{outcome.get('checked', '')}")
        for step, seconds in outcome.get("timings_s", {}).items():
            print(f"{'':30}{step}: {seconds} s")
        sys.stdout.flush()
    return 1 if failures else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--only", nargs="+", choices=list(SCENARIOS), default=list(SCENARIOS))
    parser.add_argument("--timeout", type=float, default=1800, help="seconds before a scenario counts as hung")
    parser.add_argument("--child", nargs=2, metavar=("SCENARIO", "RESULT_FILE"), help=argparse.SUPPRESS)
    arguments = parser.parse_args()
    if arguments.child:
        run_child(arguments.child[0], Path(arguments.child[1]))
        return 0
    return run_parent(arguments.only, arguments.timeout)


if __name__ == "__main__":
    sys.exit(main())
