"""Faults found by fuzzing and by the sanitizer build, each kept as the smallest input that showed it."""

import json
import os
import subprocess
import sys

import pytest
import wrenmark

from helpers import train_on_text, vocabulary
from reference.literal_training import train_text


@pytest.mark.parametrize(
    "text, special_tokens",
    [
        # The matcher library missed the NULs before the run of O's ended at these lengths when
        # it matched a NUL-holding pattern together with another one.
        ("O" * 70 + "\x002\x00<s\x00\x00", ["\x00", "@bs> aaa"]),
        ("O" * 64 + "\x002\x00<s\x00\x00", ["O\x00", "@bs> aaa"]),
        ("O" * 76 + "\x002\x00<s\x00\x00\x00\x00\x00\x00\x00;</\x14\x00a\x00b -\x00\x00",
         ["\x00", "@bs> aaa<s>bbba/ s<>b</w></w>/s>"]),
        # Overlapping occurrences of a NUL-holding token: the one that ends first is removed.
        ("a\x00\x00\x00b " * 3, ["\x00\x00", "zz"]),
        ("x\x00y\x00\x00y", ["\x00y", "y\x00", "\x00"]),
    ],
)
def test_one_pass_removal_finds_every_token_that_holds_a_nul_byte(tmp_path, text, special_tokens):
    tokenizer = train_on_text(tmp_path, text, 500, "punctuation", special_tokens, "aho_corasick")
    expected = train_text(text, 500, "punctuation", special_tokens, "aho_corasick")
    assert vocabulary(tokenizer) == expected.id_to_token


def test_a_corpus_path_with_a_nul_character_is_not_cut_short(tmp_path, monkeypatch):
    """The name used to be cut at the NUL, so "corpus.txt\\0junk" read corpus.txt."""
    monkeypatch.chdir(tmp_path)
    (tmp_path / "corpus.txt").write_text("ab ab")
    tokenizer = wrenmark.BpeTokenizer("corpus.txt\x00junk", 10, wrenmark.PreTokenization.whitespace())
    with pytest.raises(RuntimeError, match="^Error reading file: path contains a NUL character$"):
        tokenizer.train()
    assert repr(tokenizer) == "BpeTokenizer(vocab_size=0)"


def test_an_output_directory_with_a_nul_character_is_refused_before_anything_is_created(tmp_path, monkeypatch):
    """The name used to be cut at the NUL, so "model\\0junk" created the directory model."""
    monkeypatch.chdir(tmp_path)
    (tmp_path / "corpus.txt").write_text("ab ab")
    tokenizer = wrenmark.BpeTokenizer("corpus.txt", 10, wrenmark.PreTokenization.whitespace(),
                                      save_model=True, output_dir="model\x00junk")
    with pytest.raises(RuntimeError, match="^File Error: path contains a NUL character$"):
        tokenizer.train()
    assert sorted(path.name for path in tmp_path.iterdir()) == ["corpus.txt"]
    assert tokenizer.get_id_by_token("ab</w>") == 4  # the model stays trained in memory


@pytest.mark.parametrize(
    "text, special_tokens",
    [
        # The matcher library missed occurrences that end a few bytes before the end of the text
        # it scans, after a long run of bytes that no token starts with.
        ("x" * 70 + "zabca", ["ab", "a"]),
        ("x" * 200 + "zabca", ["<a", "a"]),
        ("\x07" * 87 + "\x01abca", ["aaa" + "\x07" * 47 + "a<a", "<a", "a"]),
        ("y" * 150 + "abc" + "x" * 3000 + "cab bca", ["ab", "ca", "b"]),
    ],
)
def test_one_pass_removal_finds_tokens_near_the_end_of_the_text(tmp_path, text, special_tokens):
    tokenizer = train_on_text(tmp_path, text, 500, "whitespace", special_tokens, "aho_corasick")
    expected = train_text(text, 500, "whitespace", special_tokens, "aho_corasick")
    assert vocabulary(tokenizer) == expected.id_to_token


def test_one_pass_removal_over_many_scan_windows(tmp_path):
    """Occurrences that straddle the boundaries of the matcher's 1 MiB scan windows are found once."""
    piece = "ab<sep>cd " * 7 + "x" * 13
    text = piece * (3 * 2**20 // len(piece))
    # "b<s" ends before "<sep>" does and wins; "d x" closes every piece.
    special_tokens = ["<sep>", "d x", "b<s"]
    tokenizer = train_on_text(tmp_path, text, 203, "whitespace", special_tokens, "aho_corasick")
    cleaned = text.replace("b<s", "").replace("d x", "")
    plain = train_on_text(tmp_path, cleaned, 200)
    assert vocabulary(tokenizer) == special_tokens + vocabulary(plain)


SMALL_STACK_PROGRAM = r"""
import json, pathlib, shutil, sys, threading, wrenmark
root = pathlib.Path(sys.argv[1])
(root / "corpus.txt").write_text("low lower newest <s> widest " * 20, encoding="utf-8")
threading.stack_size(int(sys.argv[2]))
outcome = {}

def run():
    try:
        tokenizer = wrenmark.BpeTokenizer(
            str(root / "corpus.txt"), 40, wrenmark.PreTokenization.punctuation(), ["<s>", "\x00"],
            wrenmark.SpecialTokenRemovalMethod.aho_corasick(), True, str(root / "model"))
        tokenizer.train()
        encoding = tokenizer.encode("<s>lower " + "newest" * 3000)
        outcome["decoded"] = len(tokenizer.decode(encoding.ids))
        outcome["loaded"] = repr(wrenmark.BpeTokenizer.from_pretrained(str(root / "model")))
        shutil.copytree(root / "model", root / "deep")
        (root / "deep" / "config.json").write_text('{"x": ' + "[" * 5000 + "]" * 5000 + "}")
        try:
            wrenmark.BpeTokenizer.from_pretrained(str(root / "deep"))
        except RuntimeError as error:
            outcome["deep"] = str(error)
    except BaseException as error:
        outcome["error"] = repr(error)

thread = threading.Thread(target=run)
thread.start()
thread.join()
print(json.dumps(outcome))
"""


def test_every_operation_runs_on_a_thread_with_a_small_stack(tmp_path):
    """from_pretrained used to read files through a 64 KiB buffer on the stack, and checked unknown
    JSON members by recursion up to 1,024 levels deep: both overflowed a small thread stack."""
    # AddressSanitizer's frames are several times larger.
    stack_size = 2 * 2**20 if "libasan" in os.environ.get("LD_PRELOAD", "") else 64 * 1024
    completed = subprocess.run([sys.executable, "-c", SMALL_STACK_PROGRAM, str(tmp_path), str(stack_size)],
                               capture_output=True, timeout=120)
    assert completed.returncode == 0, completed.stderr.decode(errors="replace")[-2000:]
    outcome = json.loads(next(line for line in completed.stdout.decode().splitlines() if line.startswith("{")))
    assert outcome == {"decoded": outcome.get("decoded"), "loaded": outcome.get("loaded"),
                       "deep": "Json serialization error recursion limit exceeded in config.json at line 1 column 136"}
    assert outcome["decoded"] > 18_000
    assert outcome["loaded"].startswith("BpeTokenizer(vocab_size=")
