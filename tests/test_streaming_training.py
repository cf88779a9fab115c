"""Training in blocks: tiny blocks, the default block and the literal model must agree on every
generated corpus, and counting blocks one by one through the private interface must train the
same tokenizer.

Block ends fall wherever a cut is safe, so with blocks of a few bytes nearly every safe cut of
these corpora is taken: special tokens straddling them (tokens holding a line feed too, and
token sets holding every white-space character, which forces the second cut rule), text without
any line feed, CRLF text, multi-byte characters, long words and blocks that removal empties.
"""

import itertools
import json
import random
import struct
from pathlib import Path

import pytest
import wrenmark
import wrenmark.wrenmark as extension

from helpers import PRE_TOKENIZATIONS, REMOVAL_METHODS, vocabulary
from reference.literal_training import WHITE_SPACE_CHARACTERS, train_text

ALL_WHITE_SPACE = "".join(sorted(WHITE_SPACE_CHARACTERS))
BLOCK_SIZES = [1, 3, 0]  # 0: the default size

# name: (word characters, separators, extra special tokens)
PROFILES = {
    "line_feeds": ("ab", " \n", []),
    "no_line_feed": ("abc", " \t", []),
    "crlf": ("ab", " \r\n", ["\r\n", "b\r"]),
    "multibyte": ("aé日😀", " \u3000\u00a0\n", ["é日", "\u3000"]),
    "tokens_with_line_feeds": ("ab", "\n ", ["a\nb", "\n\n", "b\n"]),
    "every_separator_in_tokens": ("ab", " \n\t", [ALL_WHITE_SPACE, "a\nb", "b b"]),
}


def random_text(rng, characters, separators):
    pieces = []
    for _ in range(rng.randint(0, 30)):
        roll = rng.random()
        if roll < 0.3:
            pieces.append(rng.choice(separators) * rng.randint(1, 2))
        elif roll < 0.35:
            pieces.append(rng.choice(characters) * rng.randint(10, 40))  # a long word
        else:
            pieces.append("".join(rng.choice(characters) for _ in range(rng.randint(1, 4))))
    return "".join(pieces)


def random_tokens(rng, text, characters, separators, extra):
    tokens = list(rng.sample(extra, rng.randint(0, len(extra))))
    for _ in range(rng.randint(0, 3)):
        if len(text) >= 2 and rng.random() < 0.6:
            start = rng.randrange(len(text) - 1)
            tokens.append(text[start:start + rng.randint(1, 4)])
        else:
            tokens.append(rng.choice(characters) + rng.choice(separators) + rng.choice(characters))
    rng.shuffle(tokens)
    return tokens


def generated_cases(profile, count=8):
    characters, separators, extra = PROFILES[profile]
    rng = random.Random(profile)
    for _ in range(count):
        text = random_text(rng, characters, separators)
        yield text, random_tokens(rng, text, characters, separators, extra)


@pytest.fixture
def block_bytes():
    """Sets the training block size for one test and restores the default afterwards."""
    yield extension._set_training_block_bytes
    extension._set_training_block_bytes(0)


def train(tmp_path, text, tokens, method, pre_tokenization, target, save_to=None):
    corpus = tmp_path / "corpus.txt"
    corpus.write_bytes(text.encode("utf-8"))
    extra = {"save_model": True, "output_dir": str(save_to)} if save_to else {}
    tokenizer = wrenmark.BpeTokenizer(str(corpus), target, PRE_TOKENIZATIONS[pre_tokenization](), tokens,
                                      REMOVAL_METHODS[method](), **extra)
    tokenizer.train()
    return tokenizer


def saved_files(directory: Path):
    return {path.name: json.loads(path.read_text(encoding="utf-8")) for path in sorted(directory.iterdir())}


@pytest.mark.parametrize("pre_tokenization", ["whitespace", "punctuation"])
@pytest.mark.parametrize("method", ["simple", "aho_corasick"])
@pytest.mark.parametrize("profile", sorted(PROFILES))
def test_tiny_blocks_train_as_the_whole_corpus_and_the_literal_model(tmp_path, block_bytes, profile, method,
                                                                    pre_tokenization):
    for case_number, (text, tokens) in enumerate(generated_cases(profile)):
        expected = train_text(text, 60, pre_tokenization, tokens, method)
        limit = expected.order_sensitive_at
        models = []
        for size in BLOCK_SIZES:
            block_bytes(size)
            directory = tmp_path / f"model-{case_number}-{size}"
            tokenizer = train(tmp_path, text, tokens, method, pre_tokenization, 60, save_to=directory)
            assert vocabulary(tokenizer)[:limit] == expected.id_to_token[:limit], (size, text, tokens)
            models.append(saved_files(directory))
        assert all(model == models[-1] for model in models), (text, tokens)


@pytest.mark.parametrize("method", ["simple", "aho_corasick"])
@pytest.mark.parametrize("tokens, text", [
    # Simple: deleting X joins a\nb, which the next pass deletes: no cut may fall at that line feed.
    (["X", "a\nb", ALL_WHITE_SPACE], "a a aX\nb b\nb a\n\nb"),
    # Each pass joins the next token's occurrence around the same line feed.
    (["1", "2", "a2\n1b", ALL_WHITE_SPACE], "x a21\n21b\ny a\nb\n"),
    # A token that is a run of line feeds, in text made of them.
    (["\n\n", ALL_WHITE_SPACE], "a\n\n\nb\n\nc\n\n\n\nd e\nf"),
    # Only white space is a token: every character is, so no cut is ever safe.
    ([" ", "\n", ALL_WHITE_SPACE], "a b\nc d\n"),
])
def test_joined_occurrences_across_line_feeds(tmp_path, block_bytes, tokens, text, method):
    expected = train_text(text, 40, "whitespace", tokens, method)
    for size in BLOCK_SIZES:
        block_bytes(size)
        tokenizer = train(tmp_path, text, tokens, method, "whitespace", 40)
        assert vocabulary(tokenizer)[:expected.order_sensitive_at] == expected.id_to_token[:expected.order_sensitive_at]


@pytest.mark.parametrize("size", [1, 3, 0])
def test_invalid_utf8_anywhere_fails_as_before_and_leaves_the_tokenizer_trainable(tmp_path, block_bytes, size):
    block_bytes(size)
    corpus = tmp_path / "corpus.txt"
    corpus.write_bytes(b"good words here\nand more \xe2\x82 broken\n")
    tokenizer = wrenmark.BpeTokenizer(str(corpus), 30, wrenmark.PreTokenization.whitespace(), ["<s>"])
    with pytest.raises(RuntimeError, match=r"^Error reading file: stream did not contain valid UTF-8$"):
        tokenizer.train()
    assert repr(tokenizer) == "BpeTokenizer(vocab_size=0)"
    corpus.write_text("good words here\n")
    tokenizer.train()
    assert vocabulary(tokenizer)[:2] == ["<s>", "g"]


# ---------------------------------------------------------------------------------------------
# Counting blocks elsewhere


def tokenizer_for(tokens, method, pre_tokenization="whitespace", **kwargs):
    return wrenmark.BpeTokenizer("unused", 60, PRE_TOKENIZATIONS[pre_tokenization](), tokens,
                                 REMOVAL_METHODS[method](), **kwargs)


def blocks_of(tokenizer, data: bytes, nominal: int):
    """Cuts `data` the way a caller that reads the corpus in pieces would: each boundary moved
    from a nominal offset to the first safe cut, judged from a window around it only."""
    margin = extension._cut_margin(tokenizer)
    cuts, position = [0], nominal
    while position < len(data):
        window_start = max(cuts[-1], position - margin)
        window = data[window_start:position + 4 * margin + 8]
        cut = extension._safe_block_end(tokenizer, window, position - window_start,
                                        at_end=window_start + len(window) >= len(data))
        if cut < 0:
            position += 4 * margin + 8 - margin
            continue
        cuts.append(window_start + cut)
        position = cuts[-1] + nominal
    if cuts[-1] != len(data):
        cuts.append(len(data))
    return [(data[start:end], start) for start, end in itertools.pairwise(cuts)]


@pytest.mark.parametrize("method", ["simple", "aho_corasick"])
@pytest.mark.parametrize("profile", sorted(PROFILES))
def test_blocks_counted_apart_and_merged_in_any_order_train_as_train(tmp_path, profile, method):
    rng = random.Random(f"{profile}/{method}")
    for text, tokens in generated_cases(profile, count=6):
        data = text.encode("utf-8")
        expected = vocabulary(train(tmp_path, text, tokens, method, "punctuation", 60))
        counter = tokenizer_for(tokens, method, "punctuation")
        tables = [extension._count_words(counter, block, origin) for block, origin in blocks_of(counter, data, 3)]
        rng.shuffle(tables)
        while len(tables) > 1:  # a tree of merges, as a cluster would make
            split = rng.randint(1, len(tables) - 1)
            tables = [extension._merge_word_counts(tables[:split]), extension._merge_word_counts(tables[split:])]
            tables = tables if rng.random() < 0.5 else [extension._merge_word_counts(tables)]
        fresh = tokenizer_for(tokens, method, "punctuation")
        extension._train_from_word_counts(fresh, tables[0] if tables else extension._merge_word_counts([]))
        assert vocabulary(fresh) == expected, (text, tokens)


def test_train_from_word_counts_saves_and_refuses_a_trained_tokenizer(tmp_path):
    counter = tokenizer_for(["<s>"], "simple", save_model=True, output_dir=str(tmp_path / "model"))
    table = extension._count_words(counter, b"<s>low lower\nlowest<s>", 0)
    extension._train_from_word_counts(counter, table)
    assert (tmp_path / "model" / "merge_rules.json").exists()
    with pytest.raises(RuntimeError, match="^Cannot train a pretrained model$"):
        extension._train_from_word_counts(counter, table)


@pytest.mark.parametrize("data, offset", [(b"\xff", 0), (b"ab c\xe2\x82", 4), (b"ok \xed\xa0\x80", 3),
                                          (b"x" * 3_000_000 + b" \xc0\xaf", 3_000_001)])
def test_count_words_names_the_first_bad_byte(data, offset):
    with pytest.raises(RuntimeError, match=rf"invalid byte at offset {offset} of the block\)$"):
        extension._count_words(tokenizer_for([], "simple"), data, 0)


def corruptions(table: bytes):
    yield "empty", b""
    yield "truncated", table[:-1]
    yield "header only", table[:32]
    yield "other magic", b"XXXX" + table[4:]
    for position in (5, 20, 36, 40, len(table) - 12, len(table) - 1):
        yield f"bit flipped at {position}", table[:position] + bytes([table[position] ^ 0x10]) + table[position + 1:]
    yield "appended", table + b"\x00"


@pytest.mark.parametrize("use", ["merge", "train"])
def test_corrupt_tables_raise_and_leave_the_tokenizer_untrained(use):
    counter = tokenizer_for([], "simple")
    table = extension._count_words(counter, "low lower newest wïdest\n".encode(), 7)
    for name, corrupt in corruptions(table):
        with pytest.raises(RuntimeError, match="^invalid word-count table: "):
            if use == "merge":
                extension._merge_word_counts([table, corrupt])
            else:
                extension._train_from_word_counts(counter, corrupt)
        assert repr(counter) == "BpeTokenizer(vocab_size=0)", name
    extension._train_from_word_counts(counter, table)
    assert vocabulary(counter)[:3] == ["l", "o", "w"]


@pytest.mark.parametrize("tokens, method, data, start, at_end, cut", [
    ([], "simple", b"ab cd", 0, True, 3),
    ([], "simple", b"abcd", 0, True, -1),                          # no white space: no cut
    ([" "], "simple", b"a b\nc", 0, True, 4),                      # the blank is a token: the line feed
    (["\n"], "aho_corasick", "a\u3000b".encode(), 0, True, 4),  # ideographic space
    ([ALL_WHITE_SPACE], "aho_corasick", b"a b", 0, True, 2),
    ([ALL_WHITE_SPACE, "b b"], "aho_corasick", b"a b b a", 0, True, 2),
    ([ALL_WHITE_SPACE, "b b"], "aho_corasick", b"a b b a", 3, True, 6),   # the blank at 3 is inside b b
    # Simple: every pass may reach (length - 1) bytes further, 62 bytes in all from the X.
    ([ALL_WHITE_SPACE, "X", "a\nb"], "simple", b"aX\nb" + b" c" * 70, 0, True, 65),
    ([ALL_WHITE_SPACE, "X", "a\nb"], "aho_corasick", b"aX\nb" + b" c" * 70, 0, True, 3),
    ([ALL_WHITE_SPACE], "simple", b"a b", 0, False, -1),           # the margin is not in the data
])
def test_safe_block_end(tokens, method, data, start, at_end, cut):
    assert extension._safe_block_end(tokenizer_for(tokens, method), data, start, at_end) == cut


def work_times(table: bytes) -> tuple[int, int]:
    """The removal and counting time recorded in a table's header (word_count_format.hpp)."""
    return struct.unpack_from("<QQ", table, 16)


@pytest.mark.parametrize("layout", [["empty", "words"], ["words", "empty"], ["empty", "empty", "words", "empty"]])
def test_merged_tables_keep_the_work_time_of_tables_without_words(layout):
    tokenizer = tokenizer_for(["<s>"], "simple")
    made = {"empty": extension._count_words(tokenizer, b"<s>" * 100_000, 0),
            "words": extension._count_words(tokenizer, b"low lower " * 10_000, 1)}
    assert struct.unpack_from("<Q", made["empty"], 8)[0] == 0 and work_times(made["empty"])[0] > 0
    tables = [made[name] for name in layout]
    merged = extension._merge_word_counts(tables)
    assert work_times(merged) == tuple(sum(times) for times in zip(*map(work_times, tables)))
