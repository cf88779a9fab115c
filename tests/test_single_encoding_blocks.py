"""Encoders of single `encode` calls share blocks: each must keep reading its own encoding
whatever is encoded after it, whichever neighbours are dropped, and however full the block was."""

import gc
import pickle
import random

import pytest

from helpers import train_on_text

WORDS = ["ab", "abc", "ba", "cab", "a", "bca", "é😀", "<s>"]


@pytest.fixture(scope="module")
def tokenizer(tmp_path_factory):
    return train_on_text(tmp_path_factory.mktemp("corpus"), "ab abc ba cab bca é😀 <s> " * 20, 14,
                         special_tokens=["<s>"])


def text_of(random_source, words):
    return " ".join(random_source.choice(WORDS) for _ in range(words))


def snapshot(encoder):
    return (encoder.original_text, encoder.tokens, encoder.ids, encoder.token_types, list(encoder.ids_buffer))


@pytest.mark.parametrize(
    "sizes, keep",
    [
        ([1] * 3000, "every third"),           # many short ones: blocks fill and are replaced
        ([0, 1, 0, 2] * 500, "every other"),   # empty texts between short ones
        ([1, 400, 1, 3000, 1], "all"),         # texts too large to share, between shared ones
        ([60] * 400, "last"),                  # near the sharing limit: few per block
        ([200, 1] * 300, "every other"),       # alternating sides of the limit
    ],
)
def test_kept_encoders_read_their_own_encoding(tokenizer, sizes, keep):
    random_source = random.Random(len(sizes) * 7 + sum(sizes))
    texts = [text_of(random_source, size) for size in sizes]
    expected = [snapshot(encoder) for encoder in tokenizer.encode_batch(texts)]
    encoders = [tokenizer.encode(text) for text in texts]
    chosen = {
        "all": lambda index: True,
        "last": lambda index: index == len(texts) - 1,
        "every other": lambda index: index % 2 == 0,
        "every third": lambda index: index % 3 == 1,
    }[keep]
    kept = {index: encoder for index, encoder in enumerate(encoders) if chosen(index)}
    del encoders
    gc.collect()
    # Later encodings must not land on the kept ones' bytes.
    later = [tokenizer.encode(text_of(random_source, 3)) for _ in range(500)]
    for index, encoder in kept.items():
        assert snapshot(encoder) == expected[index]
        assert snapshot(pickle.loads(pickle.dumps(encoder))) == expected[index]
    del later


def test_an_encoder_outlives_its_tokenizer_and_the_encoders_around_it(tmp_path):
    tokenizer = train_on_text(tmp_path, "ab abc ba cab " * 10, 10)
    before = [tokenizer.encode("ab cab") for _ in range(10)]
    kept = tokenizer.encode("abc ba")
    after = [tokenizer.encode("ba ab") for _ in range(10)]
    expected = snapshot(kept)
    del before, after, tokenizer
    gc.collect()
    assert snapshot(kept) == expected
