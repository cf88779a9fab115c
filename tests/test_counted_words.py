"""Counting a block on the worker pool gives every word's exact count and first occurrence.

The block is cut into pieces that the workers take in turn, each counting into a table of its
own: a worker that counted a later piece before an earlier one would record a later first
occurrence than the word's, and words that a table's keys tell apart by their first bytes, their
length or a trailing NUL byte must stay apart. The corpora here hold words that differ only in
their last byte at either side of 8 and 16 bytes, words that are another word plus a NUL byte,
frequent words that go rare halfway through, and tails of rare words.
"""

import collections
import itertools
import random

import pytest
import wrenmark
import wrenmark.wrenmark as extension

HEADER_BYTES = 32
CHECKSUM_BYTES = 8


def read_varint(data: bytes, position: int) -> tuple[int, int]:
    value, shift = 0, 0
    while True:
        byte = data[position]
        position += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return value, position


def word_counts_of(table: bytes) -> dict[bytes, tuple[int, int]]:
    """Word to (count, origin + offset of its first occurrence) from a serialized table."""
    words, position, end = {}, HEADER_BYTES, len(table) - CHECKSUM_BYTES
    while position < end:
        size, position = read_varint(table, position)
        word = table[position:position + size]
        position += size
        count, position = read_varint(table, position)
        origin, position = read_varint(table, position)
        offset, position = read_varint(table, position)
        words[word] = (count, origin + offset)
    return words


def counts_of_text(text: bytes, base: int) -> dict[bytes, tuple[int, int]]:
    """Its words separated by exactly one byte, the text starting at `base` in the corpus."""
    words = text.split()
    positions = itertools.accumulate((len(word) + 1 for word in words[:-1]), initial=base)
    first = dict(zip(reversed(words), reversed(list(positions))))  # the earliest position wins
    return {word: (count, first[word]) for word, count in collections.Counter(words).items()}


def near_misses(rng: random.Random) -> list[bytes]:
    """Words alike up to their last byte, of the lengths where the table's key changes its parts."""
    words = []
    for length in (1, 7, 8, 9, 15, 16, 17, 24):
        stem = bytes(rng.choice(b"abcdefgh") for _ in range(length - 1))
        words += [stem + last for last in (b"x", b"y", b"\x00")]
        words.append(stem + b"x\x00")
    return words


def corpus(seed: int, repeats: int, shift_halfway: bool,
           tail_words: int) -> tuple[bytes, dict[bytes, tuple[int, int]]]:
    """Frequent short words, a tail of rare ones and near misses, in two parts each of one text
    repeated; and the counts of the whole."""
    rng = random.Random(seed)
    common = [bytes(rng.choice(b"abcdefghij") for _ in range(rng.randint(1, 6))) for _ in range(3000)]
    tail = [b"t%d" % index for index in range(tail_words)]
    pool = near_misses(rng)
    weights = [0.6 / (rank + 1) for rank in range(len(common))]
    weights += [0.3 / len(tail)] * len(tail) + [0.1 / len(pool)] * len(pool)
    first = common + tail + pool
    second = [word + b"z" for word in common] + tail + pool if shift_halfway else first
    texts = [b" ".join(rng.choices(population, weights, k=300_000)) for population in (first, second)]
    counts: dict[bytes, tuple[int, int]] = {}
    for part, text in enumerate(texts):
        base = part * repeats * (len(texts[0]) + 1)
        for word, (count, position) in counts_of_text(text, base).items():
            earlier_count, earlier_position = counts.get(word, (0, position))
            counts[word] = (earlier_count + count * repeats, earlier_position)
    return b"\n".join([texts[0]] * repeats + [texts[1]] * repeats), counts


@pytest.mark.parametrize("seed, repeats, shift_halfway, tail_words", [
    (1, 5, False, 40_000),
    (2, 5, True, 40_000),     # the frequent words of the first half rare in the second
    (3, 15, True, 40_000),    # a block of many more pieces than workers
    (4, 2, True, 400_000),    # a longer tail: the tables grow through many sizes
])
def test_counts_and_first_occurrences_are_those_of_the_corpus(seed, repeats, shift_halfway, tail_words):
    data, counts = corpus(seed, repeats, shift_halfway, tail_words)
    tokenizer = wrenmark.BpeTokenizer("unused.txt", 300, wrenmark.PreTokenization.whitespace())
    assert word_counts_of(extension._count_words(tokenizer, data, 0)) == counts
