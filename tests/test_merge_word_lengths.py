"""Words around the length where merging changes strategy (32 symbols with "</w>": a small
array beside the symbols up to it, a queue of ranks beyond), with runs of one pair that merge
left to right without overlap, against the literal model."""

import random

import pytest
import wrenmark

from reference import literal_encoding as literal
from test_encoding import check_against_literal

TOKENS = ["a", "b", "</w>", "aa", "ab", "aaaa", "abab", "a</w>", "aa</w>", "b</w>", "aaaaaaaa", "aab", "baa"]
# (left, right, merged, rank); "aab" is ranked without a merged token, which ends a word's merging;
# "baa" joins a merged token to the unchanged one on its left
MERGES = [
    ("a", "a", "aa", 0), ("a", "b", "ab", 1), ("b", "aa", "baa", 2), ("aa", "aa", "aaaa", 2), ("ab", "ab", "abab", 3),
    ("a", "</w>", "a</w>", 4), ("aa", "</w>", "aa</w>", 5), ("b", "</w>", "b</w>", 6),
    ("aaaa", "aaaa", "aaaaaaaa", 7), ("aa", "b", None, 8),
]


@pytest.fixture(scope="module")
def run_model(tmp_path_factory):
    ids = {token: index for index, token in enumerate(TOKENS)}
    ranks = {(ids[left], ids[right]): rank for left, right, _, rank in MERGES}
    merged = {(ids[left], ids[right]): ids[token] for left, right, token, _ in MERGES if token is not None}
    model = literal.Model(list(TOKENS), dict(ids), ranks, merged, [], "Whitespace")
    directory = tmp_path_factory.mktemp("model")
    literal.write_model_directory(model, directory)
    return wrenmark.BpeTokenizer.from_pretrained(str(directory)), model


@pytest.mark.parametrize("characters", [29, 30, 31, 32, 33, 34, 63, 64, 65])
@pytest.mark.parametrize("pattern", ["a", "ab", "aab", "aba", "abb", "baa", "bbaa"])
def test_words_on_both_sides_of_the_short_word_length(run_model, characters, pattern):
    tokenizer, model = run_model
    word = (pattern * characters)[:characters]
    # alone, and among other words, so that the cached and the uncached spelling are both checked
    for text in [word, f"{word} b {word}a ab {word}"]:
        check_against_literal(tokenizer, model, text, random.Random(characters), f"{pattern} x {characters}")
