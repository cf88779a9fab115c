"""encode_batch reads lists and tuples in one pass and other sequences by iteration: every kind
gives the same encodings and the same failure for a text that is no str. A list's or an
iterator's texts are copied before the encoding, a tuple's are read where they are: texts whose
only reference is the iterator's, and one str object at many places, encode as the others."""

import collections
import collections.abc

import pytest

from helpers import train_on_text

TEXTS = ["ab abc", "", "cab ba", "é😀 ab"]


class TextList(list):
    pass


class FreshTexts(collections.abc.Sequence):
    """Hands out a new str object at every access, freed once the batch lets go of it."""

    def __init__(self, texts):
        self.texts = list(texts)

    def __len__(self):
        return len(self.texts)

    def __getitem__(self, index):
        return "".join([self.texts[index], "!"])[:-1]


def one_object_repeated(texts):
    return [texts[0]] * 3 + list(texts) + [texts[-1]] * 3


@pytest.mark.parametrize("kind", [list, tuple, TextList, collections.deque, FreshTexts, one_object_repeated])
def test_every_sequence_kind_encodes_alike(tmp_path, kind):
    tokenizer = train_on_text(tmp_path, "ab abc ba cab é😀 " * 10, 12)
    texts = list(kind(TEXTS))
    expected = [(encoder.ids, encoder.tokens, encoder.offsets) for encoder in map(tokenizer.encode, texts)]
    batch = tokenizer.encode_batch(kind(TEXTS))
    assert [(encoder.ids, encoder.tokens, encoder.offsets) for encoder in batch] == expected
    padded = tokenizer.encode_batch_padded(kind(TEXTS), pad_id=0)
    rows = zip(padded.ids.tolist(), padded.lengths.tolist())
    assert [row[:length] for row, length in rows] == [ids for ids, _, _ in expected]


@pytest.mark.parametrize("kind", [list, tuple, TextList])
def test_a_text_that_is_no_str_is_named_by_its_index(tmp_path, kind):
    tokenizer = train_on_text(tmp_path, "ab abc ba cab " * 10, 10)
    with pytest.raises(TypeError) as raised:
        tokenizer.encode_batch(kind(["ab", "ba", 3]))
    assert str(raised.value).startswith("text 2: ")
