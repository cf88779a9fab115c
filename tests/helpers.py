"""Shared helpers for the tests: training on a text, reading the vocabulary, child processes."""

import re
import subprocess
import sys
import threading
import time
from pathlib import Path

import wrenmark

PRE_TOKENIZATIONS = {
    "whitespace": wrenmark.PreTokenization.whitespace,
    "punctuation": wrenmark.PreTokenization.punctuation,
}
REMOVAL_METHODS = {
    "simple": wrenmark.SpecialTokenRemovalMethod.simple,
    "aho_corasick": wrenmark.SpecialTokenRemovalMethod.aho_corasick,
}

# Special-token removal: special tokens, text, what Simple leaves, what AhoCorasick leaves.
REMOVAL_CASES = [
    (["abc", "b"], "abc", "", "ac"),
    (["c", "ab"], "acb", "", "ab"),
    (["ab", "c"], "acb", "ab", "ab"),
    (["aa"], "aaa", "a", "a"),
    (["ab"], "aabb", "ab", "ab"),
    (["[SEP]"], "hello[SEP]world", "helloworld", "helloworld"),
    (["", "b"], "abcb", "ac", "abcb"),
    (["b", ""], "abcb", "ac", "abcb"),
    (["x"], "X x", "X ", "X "),
    (["bc", "abcd"], "abcd", "ad", "ad"),
    (["abcd", "bc"], "xabcdx", "xx", "xadx"),
    (["b", "b"], "abba", "aa", "aa"),
    (["é", "日本"], "café 日本語", "caf 語", "caf 語"),
    (["", "b"], "abc", "ac", "abc"),
    (["Ab"], "ab", "ab", "ab"),
    (["b c"], "ab cd", "ad", "ad"),
]


def vocab_size(tokenizer) -> int:
    return int(re.fullmatch(r"BpeTokenizer\(vocab_size=(\d+)\)", repr(tokenizer)).group(1))


def vocabulary(tokenizer) -> list[str]:
    return [tokenizer.get_token_by_id(i) for i in range(vocab_size(tokenizer))]


def train_on_text(tmp_path: Path, text: str, target: int, pre_tokenization="whitespace",
                  special_tokens=(), method="simple", **kwargs):
    corpus = tmp_path / "corpus.txt"
    corpus.write_bytes(text.encode("utf-8"))
    tokenizer = wrenmark.BpeTokenizer(
        str(corpus), target, PRE_TOKENIZATIONS[pre_tokenization](), list(special_tokens),
        REMOVAL_METHODS[method](), **kwargs)
    tokenizer.train()
    return tokenizer


def saved_model_of(directory: Path, text: str, target: int) -> str:
    """Trains on `text` and returns the directory of the saved model, for tests that load it fresh."""
    train_on_text(directory, text, target, save_model=True, output_dir=str(directory / "model"))
    return str(directory / "model")


def encoding_outputs(encoder):
    """Everything an Encoder tells of its text, to compare two encodings whole."""
    return encoder.ids, encoder.tokens, encoder.token_types, encoder.offsets, encoder.word_ids


def ticks_while_counting(count_items, texts) -> int:
    """Runs `count_items(items)` over `texts` beside a ticker thread under a long switch interval,
    so that this thread keeps the interpreter lock while it runs Python code: the ticker, which
    sleeps between ticks, gets its turns only while counting lets the lock go. Returns its ticks
    after the iterator has ended."""
    ticks = []
    done = threading.Event()

    def tick():
        while not done.is_set():
            ticks.append(None)
            time.sleep(0.0002)

    def items():
        yield from texts
        ticks.clear()

    previous = sys.getswitchinterval()
    sys.setswitchinterval(100)
    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        count_items(items())
        return len(ticks)
    finally:
        done.set()
        sys.setswitchinterval(previous)
        ticker.join()


def run_python(code: str, cwd: Path | None = None) -> subprocess.CompletedProcess:
    """Runs `code` in a child interpreter and returns its exit status and raw output."""
    return subprocess.run([sys.executable, "-c", code], cwd=cwd, capture_output=True, timeout=120)
