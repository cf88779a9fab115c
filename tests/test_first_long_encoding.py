"""The first long text of a thread and of a tokenizer is encoded into buffers and a word cache
sized up front from its length: whether the text then needs less or more than that estimate
(more tokens per byte, more distinct words than the cache keeps), the result must be the one a
warm tokenizer on a warm thread gives, where the same memory grew piece by piece."""

import random
import threading

import pytest
from wrenmark import BpeTokenizer

from helpers import encoding_outputs as result, saved_model_of

_source = random.Random(5)
CORPUS = " ".join("".join(_source.choice("abcdefgh") for _ in range(_source.randint(1, 7))) for _ in range(6000))


@pytest.fixture(scope="module")
def model_dir(tmp_path_factory):
    return saved_model_of(tmp_path_factory.mktemp("first"), CORPUS, 200)


def random_words(count, letters, longest):
    source = random.Random(count)
    return " ".join("".join(source.choice(letters) for _ in range(source.randint(1, longest))) for _ in range(count))


@pytest.mark.parametrize(
    "text",
    [
        CORPUS * 3,                                   # as estimated: few distinct words
        random_words(200000, "abcdefgh", 12),  # distinct words past the cache's limit
        random_words(100000, "abcdefgh", 1),   # many more tokens a byte than estimated
        "abcdefgh" * 30000,                    # one long word, never kept
    ],
)
def test_a_first_long_text_encodes_as_on_warm_memory(model_dir, text):
    first = []
    thread = threading.Thread(target=lambda: first.append(result(BpeTokenizer.from_pretrained(model_dir).encode(text))))
    thread.start()
    thread.join()

    warm = BpeTokenizer.from_pretrained(model_dir)
    for piece in (text[:100], text[:5000], text[:200000]):
        warm.encode(piece)
    assert first == [result(warm.encode(text))]


def packed_bytes(encoder):
    """About the bytes of an encoding's block: its token ends, ids, types and both texts."""
    return 13 * len(encoder.ids) + len(encoder.original_text.encode()) + sum(len(t.encode()) for t in encoder.tokens)


@pytest.mark.parametrize(
    ("text", "large"),
    [
        (random_words(300000, "abcdefgh", 6), True),  # a block and buffers on huge pages
        (random_words(20000, "abcdefgh", 6), False),  # plain memory
    ],
)
@pytest.mark.parametrize("drop_encoder_first", [True, False])
def test_a_long_encoding_outlives_its_thread_and_tokenizer(model_dir, text, large, drop_encoder_first):
    made = []

    def encode_twice():
        tokenizer = BpeTokenizer.from_pretrained(model_dir)
        made.extend(tokenizer.encode(text) for _ in range(2))  # the second on the thread's grown buffers

    thread = threading.Thread(target=encode_twice)
    thread.start()
    thread.join()
    first, second = made
    assert (packed_bytes(first) > 4 << 20) == large
    expected = result(BpeTokenizer.from_pretrained(model_dir).encode(text))
    assert result(first) == result(second) == expected
    assert first.ids_buffer.tolist() == expected[0]
    ids = second.ids_buffer
    if drop_encoder_first:
        del second
    else:
        del ids
    del made[:]
    assert result(first) == expected
