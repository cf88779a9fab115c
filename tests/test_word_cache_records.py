"""A word found in the word cache reads back its tokens from one record: every shape of word
(around the 16-byte fast compare, multi-byte characters, many tokens, words past the size the
cache keeps, words whose end tokens the other words decide) must encode warm exactly as cold."""

import random

import pytest
from wrenmark import BpeTokenizer

from helpers import encoding_outputs as result, saved_model_of

_source = random.Random(11)
CORPUS_WORDS = ["".join(_source.choice("abcdeé😀") for _ in range(_source.randint(1, 9))) for _ in range(300)]
CORPUS = " ".join(_source.choice(CORPUS_WORDS) for _ in range(5000)) + " ab abab ababab"


@pytest.fixture(scope="module")
def model_dir(tmp_path_factory):
    return saved_model_of(tmp_path_factory.mktemp("records"), CORPUS, 160)


@pytest.mark.parametrize(
    "words",
    [
        ["a", "b", "ab", "abc"],                          # one to three bytes
        ["abcdabcd", "abcdabcdabcdabc", "abcdabcdabcdabcd"],  # up to the 16-byte compare
        ["abcdabcdabcdabcda", "e" * 40, "ab" * 60],       # past it
        ["é😀é", "😀" * 5, "aé😀b" * 3],                   # multi-byte characters
        ["ab" * 128, "ab" * 128 + "a"],                   # at and past the longest kept word
        ["ab", "abab", "ababab", "b", "ba"],               # end tokens decided by the other words
        [_source.choice(CORPUS_WORDS) for _ in range(60)],
    ],
)
def test_a_warm_word_encodes_as_it_did_cold(model_dir, words):
    text = " ".join(words + words[::-1])
    tokenizer = BpeTokenizer.from_pretrained(model_dir)
    cold = result(tokenizer.encode(text))
    assert result(tokenizer.encode(text)) == cold
    # Each line alone, after the cache saw every word in another order.
    for word in words:
        assert result(tokenizer.encode(word)) == result(BpeTokenizer.from_pretrained(model_dir).encode(word))


def test_warm_words_after_many_others_still_read_their_own_records(model_dir):
    tokenizer = BpeTokenizer.from_pretrained(model_dir)
    first = [result(tokenizer.encode(word)) for word in CORPUS_WORDS[:50]]
    # Enough new words that the record memory grows and moves under the kept positions.
    for _ in range(4000):
        tokenizer.encode("".join(_source.choice("abcdeé") for _ in range(7)))
    assert [result(tokenizer.encode(word)) for word in CORPUS_WORDS[:50]] == first
