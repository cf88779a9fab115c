"""encode_batch reads lists and tuples in one pass and other sequences by iteration: every kind
gives the same encodings and the same failure for a text that is no str."""

import collections

import pytest

from helpers import train_on_text

TEXTS = ["ab abc", "", "cab ba", "é😀 ab"]


class TextList(list):
    pass


@pytest.mark.parametrize("kind", [list, tuple, TextList, collections.deque])
def test_every_sequence_kind_encodes_alike(tmp_path, kind):
    tokenizer = train_on_text(tmp_path, "ab abc ba cab é😀 " * 10, 12)
    expected = [tokenizer.encode(text).ids for text in TEXTS]
    assert [encoder.ids for encoder in tokenizer.encode_batch(kind(TEXTS))] == expected
    assert tokenizer.encode_batch_padded(kind(TEXTS), pad_id=0).ids.shape[0] == len(TEXTS)


@pytest.mark.parametrize("kind", [list, tuple, TextList])
def test_a_text_that_is_no_str_is_named_by_its_index(tmp_path, kind):
    tokenizer = train_on_text(tmp_path, "ab abc ba cab " * 10, 10)
    with pytest.raises(TypeError) as raised:
        tokenizer.encode_batch(kind(["ab", "ba", 3]))
    assert str(raised.value).startswith("text 2: ")
