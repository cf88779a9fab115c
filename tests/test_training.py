"""Training end to end through the Python API: vocabulary order, removal, output lines, errors."""

import re
import textwrap

import pytest
import wrenmark

from helpers import REMOVAL_CASES, run_python, train_on_text, vocabulary
from reference.literal_training import train_text

DURATION = r"\d+(\.\d*[1-9])?(s|ms|\u00b5s|ns)"


def test_worked_example_learns_low_in_three_merges(tmp_path):
    tokenizer = train_on_text(tmp_path, "low lower low", 9)
    assert vocabulary(tokenizer) == ["l", "o", "w", "e", "r", "</w>", "ow", "low", "low</w>"]


@pytest.mark.parametrize(
    "text, target, expected",
    [
        # ties go to the larger first id, then the larger second id; pairs whose count fell
        # to zero are merged last
        ("ab ba", 100, ["a", "b", "</w>", "b</w>", "ba", "ba</w>", "ab</w>", "a</w>", "ab"]),
        ("aa aa a", 100, ["a", "</w>", "a</w>", "aa</w>", "aa"]),
        # x x x x merged on (x, x) gives N N; the pair (x, xx) then re-makes "xxx", which adds
        # no token, and training goes on
        ("xxxx", 100, ["x", "</w>", "xx", "xxx", "xx</w>", "xxxx</w>", "x</w>"]),
        # target below the initial vocabulary: no merge at all
        ("hello", 2, ["h", "e", "l", "o", "</w>"]),
        # empty corpus: only the end-of-word marker
        ("", 10, ["</w>"]),
        ("  \t\n ", 10, ["</w>"]),
    ],
)
def test_merge_order_and_stopping(tmp_path, text, target, expected):
    assert vocabulary(train_on_text(tmp_path, text, target)) == expected


@pytest.mark.parametrize("tokens, text, simple, aho_corasick", REMOVAL_CASES)
@pytest.mark.parametrize("method", ["simple", "aho_corasick"])
def test_special_token_removal(tmp_path, tokens, text, simple, aho_corasick, method):
    tokenizer = train_on_text(tmp_path, text, 0, special_tokens=tokens, method=method)
    cleaned = simple if method == "simple" else aho_corasick
    alphabet = [character for character in cleaned if not character.isspace()]
    assert vocabulary(tokenizer) == list(dict.fromkeys(tokens + alphabet)) + ["</w>"]


# The matcher takes patterns of at most 16,000 bytes; longer tokens are searched one by one.
OVER_LIMIT = "x" * 16_001


@pytest.mark.parametrize(
    "text, special_tokens",
    [
        (f"a {OVER_LIMIT} b", [OVER_LIMIT]),
        (f"{OVER_LIMIT}y{OVER_LIMIT}", [OVER_LIMIT, "y"]),
        ("x" * 16_005, [OVER_LIMIT, "xx"]),
        (f"q{OVER_LIMIT}z q", ["x" * 16_000 + "z", "qx", OVER_LIMIT]),
        (f"{OVER_LIMIT}\x00 {OVER_LIMIT[:100]}", [OVER_LIMIT + "\x00", "\x00", "x" * 20_000]),
        ("ab " + "x" * 40_000, ["x" * 20_000, "b"]),
    ],
)
def test_one_pass_removal_takes_tokens_longer_than_the_matcher_limit(tmp_path, text, special_tokens):
    tokenizer = train_on_text(tmp_path, text, 40, "whitespace", special_tokens, "aho_corasick")
    expected = train_text(text, 40, "whitespace", special_tokens, "aho_corasick")
    assert vocabulary(tokenizer) == expected.id_to_token


def test_special_tokens_come_first_and_keep_their_ids(tmp_path):
    tokenizer = train_on_text(tmp_path, "a b </w>", 0, special_tokens=["b", "[X]", "b", "</w>"])
    assert vocabulary(tokenizer) == ["b", "[X]", "</w>", "a"]


@pytest.mark.parametrize(
    "text, alphabet",
    [
        ("\ufeffab", ["\ufeff", "a", "b"]),
        ("a\r\nb", ["a", "b"]),
        ("a\x00b", ["a", "\x00", "b"]),
        ("x\u00a0y\u200bz\x1c", ["x", "y", "\u200b", "z", "\x1c"]),
        ("\u00bfQu\u00e9?", ["\u00bf", "Q", "u", "\u00e9", "?"]),
    ],
)
def test_alphabet_in_order_of_first_occurrence(tmp_path, text, alphabet):
    assert vocabulary(train_on_text(tmp_path, text, 0)) == alphabet + ["</w>"]


def test_punctuation_splits_ascii_punctuation_only(tmp_path):
    tokenizer = train_on_text(tmp_path, "a.b \u00bfc", 100, pre_tokenization="punctuation")
    vocab = vocabulary(tokenizer)
    assert "a.</w>" not in vocab and ".</w>" in vocab and "\u00bfc</w>" in vocab


def test_second_train_is_refused_and_changes_nothing(tmp_path):
    tokenizer = train_on_text(tmp_path, "low lower low", 9)
    before = vocabulary(tokenizer)
    with pytest.raises(RuntimeError, match="^Cannot train a pretrained model$"):
        tokenizer.train()
    assert vocabulary(tokenizer) == before


@pytest.mark.parametrize(
    "make_path, reason",
    [
        (lambda tmp: tmp / "missing.txt", r"No such file or directory \(os error 2\)"),
        (lambda tmp: tmp, r"Is a directory \(os error 21\)"),
        (lambda tmp: tmp / "bad.txt", "stream did not contain valid UTF-8"),
    ],
)
def test_unreadable_corpus_raises_and_leaves_tokenizer_usable(tmp_path, make_path, reason):
    (tmp_path / "bad.txt").write_bytes(b"ok \xff")
    path = make_path(tmp_path)
    tokenizer = wrenmark.BpeTokenizer(str(path), 10, wrenmark.PreTokenization.whitespace())
    with pytest.raises(RuntimeError, match=f"^Error reading file: {reason}$"):
        tokenizer.train()
    assert repr(tokenizer) == "BpeTokenizer(vocab_size=0)"


def test_training_succeeds_after_the_corpus_is_fixed(tmp_path):
    corpus = tmp_path / "later.txt"
    tokenizer = wrenmark.BpeTokenizer(str(corpus), 10, wrenmark.PreTokenization.whitespace(), ["[S]"])
    with pytest.raises(RuntimeError):
        tokenizer.train()
    corpus.write_text("ab ab")
    tokenizer.train()
    assert vocabulary(tokenizer)[:4] == ["[S]", "a", "b", "</w>"]


def training_output(tmp_path, text, target, special_tokens):
    corpus = tmp_path / "corpus.txt"
    corpus.write_text(text, encoding="utf-8")
    code = textwrap.dedent(f"""
        import wrenmark
        t = wrenmark.BpeTokenizer({str(corpus)!r}, {target}, wrenmark.PreTokenization.whitespace(),
                                  {special_tokens!r})
        t.train()
    """)
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stderr == b""
    return result.stdout.decode("utf-8")


@pytest.mark.parametrize(
    "special_tokens, labels",
    [
        ([], ["vocab builder", "build initial pair"]),
        (["[S]"], ["removing special tokens", "vocab builder", "build initial pair"]),
    ],
)
def test_timing_lines(tmp_path, special_tokens, labels):
    output = training_output(tmp_path, "low lower low", 9, special_tokens)
    lines = output.split("\n")
    assert lines[-1] == ""
    assert len(lines) - 1 == len(labels)
    for line, label in zip(lines, labels):
        assert re.fullmatch(f"{label} took time: {DURATION}", line), line


def test_running_out_of_pairs_prints_message_without_line_end(tmp_path):
    output = training_output(tmp_path, "ab", 100, [])
    message = "targeted vocab size not reached as no more pairs to merge "
    assert len(message) == 58
    assert output.endswith("\n" + message)


def test_reentrant_train_is_refused_while_borrowed(tmp_path):
    corpus = tmp_path / "c.txt"
    corpus.write_text("ab ab")
    tokenizer = wrenmark.BpeTokenizer(str(corpus), 10, wrenmark.PreTokenization.whitespace())

    class Sneaky:
        def __index__(self):
            tokenizer.train()
            return 0

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        tokenizer.get_token_by_id(Sneaky())
    tokenizer.train()
