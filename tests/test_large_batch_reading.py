"""A large list or tuple is read piece by piece, from its last piece to its first, while the pool
already encodes the pieces read: the encodings are those of one text at a time, and a failure is
still that of the lowest failing index, texts that are no str before texts that cannot be
encoded, as for any other sequence, which is read whole first."""

import collections
import concurrent.futures
import random

import pytest

from helpers import train_on_text

LARGE = 3000
WORDS = ["ab", "abc", "cab", "ba", "é😀", "", "ab  ba", "a" * 300]


@pytest.fixture
def tokenizer(tmp_path):
    return train_on_text(tmp_path, "ab abc ba cab é😀 " * 20, 14)


def sample_texts(count, seed=5):
    rng = random.Random(seed)
    return [" ".join(rng.choice(WORDS) for _ in range(rng.randint(0, 12))) for _ in range(count)]


def outputs(encodings):
    return [(encoding.ids, encoding.tokens, encoding.offsets) for encoding in encodings]


@pytest.mark.parametrize("kind", [list, tuple])
@pytest.mark.parametrize("dropout", [0.0, 0.3])
def test_large_batches_encode_as_any_other_sequence(tokenizer, kind, dropout):
    texts = sample_texts(LARGE)
    texts[100:110] = [texts[0]] * 10
    tokenizer.dropout, tokenizer.dropout_seed = dropout, 11
    expected = outputs(tokenizer.encode_batch(collections.deque(texts)))
    if not dropout:
        assert expected == outputs(map(tokenizer.encode, texts))
    for _ in range(3):
        assert outputs(tokenizer.encode_batch(kind(texts))) == expected


# Each case: {index: what stands there}, and the index the error must name.
NO_STR = 7
LONE_SURROGATE = "ab \ud800"
UNKNOWN_CHARACTER = "ab z"
FAILURES = [
    ({0: NO_STR}, 0),
    ({LARGE - 1: NO_STR}, LARGE - 1),
    ({2000: NO_STR, 150: LONE_SURROGATE}, 150),
    ({2000: LONE_SURROGATE, 1999: NO_STR}, 1999),
    ({10: UNKNOWN_CHARACTER, 2500: NO_STR}, 2500),
    ({2900: UNKNOWN_CHARACTER, 1500: UNKNOWN_CHARACTER}, 1500),
]


@pytest.mark.parametrize("kind", [list, tuple, collections.deque])
@pytest.mark.parametrize("failures, named", FAILURES)
def test_the_lowest_failing_text_is_named(tokenizer, kind, failures, named):
    texts = sample_texts(LARGE)
    for index, item in failures.items():
        texts[index] = item
    with pytest.raises(Exception) as raised:
        tokenizer.encode_batch(kind(texts))
    if texts[named] == LONE_SURROGATE:
        assert (type(raised.value), raised.value.__notes__) == (UnicodeEncodeError, [f"text {named}"])
    else:
        assert type(raised.value) is (TypeError if texts[named] == NO_STR else RuntimeError)
        assert str(raised.value).startswith(f"text {named}: ")
    # Nothing of the failed call stays in the way of the next.
    texts = sample_texts(LARGE, seed=6)
    assert outputs(tokenizer.encode_batch(kind(texts))) == outputs(map(tokenizer.encode, texts))


def test_threads_whose_batches_fail_to_read_leave_the_others_whole(tokenizer):
    # A batch that stops reading stops its task of the pool while other callers' tasks run.
    texts = sample_texts(LARGE, seed=7)
    expected = outputs(map(tokenizer.encode, texts))
    problems = []

    def run(caller):
        rng = random.Random(caller)
        for _ in range(4):
            batch = list(texts)
            failing = rng.choice([None, rng.randrange(LARGE)])
            if failing is not None:
                batch[failing] = NO_STR
            try:
                result = outputs(tokenizer.encode_batch(tuple(batch) if caller % 2 else batch))
            except TypeError as error:
                if failing is None or not str(error).startswith(f"text {failing}: "):
                    problems.append(str(error))
                continue
            if failing is not None or result != expected:
                problems.append(f"caller {caller}: no failure at {failing} or wrong encodings")

    with concurrent.futures.ThreadPoolExecutor(4) as callers:
        list(callers.map(run, range(4)))
    assert problems == []
