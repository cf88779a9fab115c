"""encode_batch_padded against encode_batch with the truncation and padding done in Python, for
every option, and its refusals of bad options."""

import random

import numpy as np
import pytest

import wrenmark
from helpers import train_on_text, vocab_size

DTYPES = {"int64": np.int64, "int32": np.int32, "uint32": np.uint32}


@pytest.fixture(scope="module")
def tokenizer(tmp_path_factory):
    corpus = "the cat sat on the mat, a cat and a hat. <s> </s> " * 4
    return train_on_text(tmp_path_factory.mktemp("padded"), corpus, 40, "punctuation", ["<s>", "</s>"])


def padded_by_hand(ids_rows, max_length=None, padding="longest", pad_to_multiple_of=None, pad_id=None,
                   padding_side="right", truncation_side="right", prefix_ids=(), suffix_ids=(), dtype="int64"):
    rows = []
    for ids in ids_rows:
        if max_length is not None:
            room = max_length - len(prefix_ids) - len(suffix_ids)
            if len(ids) > room:
                ids = ids[:room] if truncation_side == "right" else ids[len(ids) - room:]
        rows.append([*prefix_ids, *ids, *suffix_ids])
    width = max_length if padding == "max_length" else max(map(len, rows), default=0)
    if pad_to_multiple_of:
        width = -(-width // pad_to_multiple_of) * pad_to_multiple_of
    matrix, mask = [], []
    for row in rows:
        padding_ids, padding_mask = [pad_id] * (width - len(row)), [0] * (width - len(row))
        if padding_side == "right":
            matrix.append(row + padding_ids)
            mask.append([1] * len(row) + padding_mask)
        else:
            matrix.append(padding_ids + row)
            mask.append(padding_mask + [1] * len(row))
    dtype = DTYPES[dtype]
    return (np.array(matrix, dtype=dtype).reshape(len(rows), width), np.array(mask, dtype=dtype).reshape(len(rows), width),
            np.array(list(map(len, rows)), dtype=dtype))


OPTIONS = [
    {},
    {"pad_id": 0},
    {"max_length": 5, "pad_id": 0},
    {"max_length": 5, "truncation_side": "left", "pad_id": 1},
    {"max_length": 7, "padding": "max_length", "pad_id": 2},
    {"max_length": 0, "padding": "max_length"},
    {"pad_to_multiple_of": 8, "pad_id": 0},
    {"max_length": 6, "padding": "max_length", "pad_to_multiple_of": 4, "pad_id": 0},
    {"padding_side": "left", "pad_id": 3},
    {"max_length": 6, "prefix_ids": [0], "suffix_ids": [1], "pad_id": 2, "padding_side": "left",
     "truncation_side": "left"},
    {"max_length": 2, "prefix_ids": [0, 0], "pad_id": 1},
    {"prefix_ids": [0], "suffix_ids": [1, 1], "pad_id": 2},
]


@pytest.mark.parametrize("options", OPTIONS)
@pytest.mark.parametrize("dtype", DTYPES)
def test_rows_equal_encode_batch_padded_in_python(tokenizer, options, dtype):
    rng = random.Random(7)
    words = ["the", "cat", "sat", "mat,", "a", "hat.", "<s>", "</s>", " ", "  "]
    texts = ["".join(rng.choice(words) for _ in range(rng.randint(0, 12))) for _ in range(300)] + [""]
    if "pad_id" not in options:  # no row may need padding
        texts = ["the cat"] * 3
    expected = padded_by_hand([encoder.ids for encoder in tokenizer.encode_batch(texts)], dtype=dtype, **options)
    result = tokenizer.encode_batch_padded(texts, dtype=dtype, **options)
    for name, want in zip(["ids", "attention_mask", "lengths"], expected, strict=True):
        array = np.asarray(getattr(result, name))
        assert array.dtype == want.dtype and array.flags.c_contiguous, name
        np.testing.assert_array_equal(array, want, err_msg=name)


def test_the_arrays_are_views_of_the_result(tokenizer):
    result = tokenizer.encode_batch_padded(["the cat", "a"], pad_id=0)
    first, second = np.asarray(result.ids), np.asarray(result.ids)
    assert np.shares_memory(first, second)
    first[0, 0] = 9  # writable, and one array for every view
    assert second[0, 0] == 9
    mask = np.asarray(result.attention_mask)
    del result
    assert mask.sum() == np.asarray(second).shape[1] + 1  # the views keep the arrays alive
    assert type(tokenizer.encode_batch_padded([])).__name__ not in dir(wrenmark)


def test_an_empty_batch(tokenizer):
    result = tokenizer.encode_batch_padded([], max_length=4, padding="max_length")
    assert np.asarray(result.ids).shape == (0, 4) and np.asarray(result.lengths).shape == (0,)


@pytest.mark.parametrize(
    "options, exception, message",
    [
        ({"max_length": -1}, ValueError, "max_length must be at least 0"),
        ({"max_length": 2**70}, ValueError, "max_length is too large"),
        ({"max_length": "3"}, TypeError, "max_length"),
        ({"max_length": True}, TypeError, "max_length"),
        ({"pad_to_multiple_of": 0, "pad_id": 0}, ValueError, "pad_to_multiple_of must be at least 1"),
        ({"pad_id": -1}, ValueError, "pad_id must be at least 0"),
        ({"pad_id": "VOCAB"}, ValueError, "pad_id: .* is not the id of a token"),
        ({"prefix_ids": ["VOCAB"]}, ValueError, "prefix_ids: .* is not the id of a token"),
        ({"suffix_ids": [-2]}, ValueError, "suffix_ids must be at least 0"),
        ({"suffix_ids": "ab"}, TypeError, "suffix_ids"),
        ({"max_length": 2, "prefix_ids": [0, 0], "suffix_ids": [0]}, ValueError, "more than max_length 2"),
        ({"padding": "max_length"}, ValueError, "needs max_length"),
        ({"padding": "shortest"}, ValueError, "padding must be 'longest' or 'max_length'"),
        ({"padding": None}, TypeError, "padding"),
        ({"padding_side": "up"}, ValueError, "padding_side must be 'right' or 'left'"),
        ({"truncation_side": 1}, TypeError, "truncation_side"),
        ({"dtype": "float32"}, ValueError, "dtype must be 'int64', 'int32' or 'uint32'"),
        ({}, ValueError, "pad_id is needed"),
        ({"pad_to_multiple_of": 64}, ValueError, "pad_id is needed"),
        ({"max_length": 9, "padding": "max_length"}, ValueError, "pad_id is needed"),
        ({"colour": 1}, TypeError, "unexpected keyword argument 'colour'"),
    ],
)
def test_bad_options_are_refused(tokenizer, options, exception, message):
    vocabulary = vocab_size(tokenizer)
    options = {key: vocabulary if value == "VOCAB" else [vocabulary] if value == ["VOCAB"] else value
               for key, value in options.items()}
    with pytest.raises(exception, match=message):
        tokenizer.encode_batch_padded(["the cat", "a"], **options)


@pytest.mark.parametrize("call, exception", [
    (lambda tokenizer: tokenizer.encode_batch_padded(["a"], 4), TypeError),
    (lambda tokenizer: tokenizer.encode_batch_padded(["a", 3]), TypeError),
    (lambda tokenizer: tokenizer.encode_batch_padded("ab"), TypeError),
])
def test_bad_arguments_are_refused(tokenizer, call, exception):
    with pytest.raises(exception):
        call(tokenizer)


def test_an_untrained_tokenizer_refuses(tmp_path):
    untrained = wrenmark.BpeTokenizer(str(tmp_path / "none.txt"), 10, wrenmark.PreTokenization.whitespace())
    with pytest.raises(RuntimeError, match="text 0: Cannot encode text without training"):
        untrained.encode_batch_padded(["a"])
    assert np.asarray(untrained.encode_batch_padded([]).ids).shape == (0, 0)

