"""Training on corpora whose initial pairs are counted in several ranges of words at once.

Both merge loops split the words into ranges of at least 2**15 places (symbols), up to four, count
each range on its own worker and combine them in word order (pair_table_initial.cpp,
classic_initial_pairs.cpp). The corpora here hold well over four such ranges, shaped so that a
wrong combination shows: pairs first seen in a later range, pairs whose places lie far apart
across ranges, runs that repeat a pair within a word, long words and many ties. The result must
be the literal model's of each loop, as for the small corpora of their differential tests.
"""

import random

import pytest

from reference.literal_training import PUNCTUATION, SIMPLE, WHITESPACE
from test_classic_merges import assert_same_training
from test_training_differential import Case, first_difference

# Four ranges of the smallest size, with room to spare.
SPLIT_PLACES = 5 * 2**15


def words_until_split(make_word):
    """Distinct words from `make_word(index)`, in order, until they hold SPLIT_PLACES symbols."""
    words, seen, places = [], set(), 0
    index = 0
    while places < SPLIT_PLACES:
        word = make_word(index)
        index += 1
        if word and word not in seen:
            seen.add(word)
            words.append(word)
            places += len(word) + 1  # and the end-of-word symbol
    return words


def shared_pairs(rng):
    """Every range holds nearly every pair: the combine mostly adds up counts."""
    return words_until_split(lambda _: "".join(rng.choice("abcdef") for _ in range(rng.randint(2, 12))))


def drifting_alphabet(rng):
    """The letters slide along the corpus: each range brings characters and pairs that no range
    before it has, which the combine numbers after all earlier ones."""
    letters = "abcdefghijklmnopqrstuvwxyzαβγδεζηθικλμνξοπρστυφχψω"

    def word(index):
        window = letters[index // 1500 % (len(letters) - 5):][:6]
        return "".join(rng.choice(window) for _ in range(rng.randint(2, 10)))

    return words_until_split(word)


def runs(rng):
    """Runs of one letter repeat a pair within a word; a few long words cross the range bounds."""

    def word(index):
        if index % 2000 == 1999:
            return "".join(rng.choice("ab") * rng.randint(1, 9) for _ in range(60))
        return "".join(rng.choice("aab") * rng.randint(1, 5) for _ in range(rng.randint(1, 4)))

    return words_until_split(word)


def far_apart(rng):
    """Frequent words at the very start and the very end of the corpus share pairs, whose lists
    then run from the first range to the last with gaps of several bytes; the rest is common."""
    return ["xyz"] * 300 + shared_pairs(rng) + ["zyx", "xyzzy"] * 300


SHAPES = {"shared_pairs": shared_pairs, "drifting_alphabet": drifting_alphabet, "runs": runs,
          "far_apart": far_apart}


def corpus(words, rng):
    """The words in order (a word given again is a repeat), some of them repeated a little later,
    between blanks and line feeds."""
    pieces = []
    for index, word in enumerate(words):
        pieces.append(word)
        if rng.random() < 0.3:
            pieces.append(words[rng.randrange(max(index - 50, 0), index + 1)])
    return "".join(piece + rng.choice(" \n ") for piece in pieces)


# The literal model of the classic loop recounts every pair at each merge: fewer merges for it.
@pytest.mark.parametrize("classic, pre_tokenization, target", [
    (False, WHITESPACE, 450), (False, PUNCTUATION, 250), (True, WHITESPACE, 110), (True, PUNCTUATION, 90)])
@pytest.mark.parametrize("shape", sorted(SHAPES))
def test_split_counting_trains_as_the_literal_model(tmp_path, shape, classic, pre_tokenization, target):
    rng = random.Random(shape)
    words = SHAPES[shape](rng)
    assert sum(len(word) + 1 for word in set(words)) >= SPLIT_PLACES
    case = Case(corpus(words, rng), target, pre_tokenization, [], SIMPLE)
    if classic:
        assert_same_training(tmp_path, case)
    else:
        difference = first_difference(tmp_path, case)
        assert difference is None, difference[1]
