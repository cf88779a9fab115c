"""Encoder.offsets, word_ids and ids_buffer: worked examples, the literal model of
tests/reference on generated texts, and HF tokenizers on exported models."""

import importlib
import pickle
import random

import numpy as np
import pytest

import wrenmark
from helpers import train_on_text
from reference import literal_encoding as literal
from reference.literal_offsets import token_places
from test_encoding import random_inconsistent_model, random_text, trained_case

hf = importlib.import_module("wrenmark.hf")
vars(wrenmark).pop("hf", None)  # the surface tests expect the plain package


def places(encoder):
    return [(start, end, word) for (start, end), word in zip(encoder.offsets, encoder.word_ids, strict=True)]


# ---------------------------------------------------------------- worked examples


@pytest.mark.parametrize(
    "pre_tokenization, text, tokens, offsets, word_ids",
    [
        # "</w>" alone covers the empty span at its word's end; white space belongs to no token.
        ("whitespace", " ab  a", ["ab</w>", "a", "</w>"], [(1, 3), (5, 6), (6, 6)], [0, 1, 1]),
        # Offsets count code points, as str indexes do, not UTF-8 bytes.
        ("whitespace", "é😀 ab", ["é", "😀", "</w>", "ab</w>"], [(0, 1), (1, 2), (2, 2), (3, 5)], [0, 0, 0, 1]),
        # Punctuation makes words of its own; a special token is no word and takes no number.
        ("punctuation", "ab,<s>b", ["ab</w>", ",", "</w>", "<s>", "b</w>"],
         [(0, 2), (2, 3), (3, 3), (3, 6), (6, 7)], [0, 1, 1, None, 2]),
        ("whitespace", "ab,<s>b", ["a", "b", ",", "</w>", "<s>", "b</w>"],
         [(0, 1), (1, 2), (2, 3), (3, 3), (3, 6), (6, 7)], [0, 0, 0, 0, None, 1]),
        ("whitespace", "<s><s> a<s>", ["<s>", "<s>", "a", "</w>", "<s>"],
         [(0, 3), (3, 6), (7, 8), (8, 8), (8, 11)], [None, None, 0, 0, None]),
        ("whitespace", "", [], [], []),
    ],
)
def test_worked_examples(tmp_path, pre_tokenization, text, tokens, offsets, word_ids):
    tokenizer = train_on_text(tmp_path, "ab ab ab , é😀 <s>", 9, pre_tokenization, ["<s>"])
    encoder = tokenizer.encode(text)
    assert (encoder.tokens, encoder.offsets, encoder.word_ids) == (tokens, offsets, word_ids)


@pytest.mark.parametrize(
    "text, offsets, word_ids",
    [
        ("zab", [(0, 1), (1, 3)], [0, 0]),              # the unknown token covers its character
        ("az", [(0, 1), (1, 2), (2, 2)], [0, 0, 0]),
        ("ab <unk>", [(0, 2), (3, 8)], [0, None]),      # the special token itself has no word
    ],
)
def test_the_unknown_token_covers_its_unseen_character(tmp_path, text, offsets, word_ids):
    tokenizer = train_on_text(tmp_path, "ab ab ab <unk>", 8, special_tokens=["<unk>"])
    tokenizer.unknown_token = "<unk>"
    encoder = tokenizer.encode(text)
    assert (encoder.offsets, encoder.word_ids) == (offsets, word_ids)


def test_a_batch_places_tokens_as_encode_does(tmp_path):
    tokenizer = train_on_text(tmp_path, "ab ba abab <s>", 12, special_tokens=["<s>"])
    texts = ["ab ba", "", "<s>abab ba<s>", "b a b"] * 50
    batch = tokenizer.encode_batch(texts)
    assert [places(encoder) for encoder in batch] == [places(tokenizer.encode(text)) for text in texts]


def test_an_encoder_outlives_its_tokenizer(tmp_path):
    tokenizer = train_on_text(tmp_path, "ab ab ab", 10)
    encoder = tokenizer.encode("ab ba")
    expected = places(encoder)
    del tokenizer
    assert places(encoder) == expected


def test_an_unpickled_encoder_has_no_offsets(tmp_path):
    encoder = pickle.loads(pickle.dumps(train_on_text(tmp_path, "ab ab", 10).encode("ab")))
    for attribute in ("offsets", "word_ids"):
        with pytest.raises(ValueError, match="rebuilt from a pickle"):
            getattr(encoder, attribute)
    assert encoder.ids_buffer.tolist() == encoder.ids


# ---------------------------------------------------------------- the literal model


def with_unknown_token(rng, tokenizer, model):
    """Sets an unknown token on about half the tokenizers that have a special token to spare
    (not "</w>", which the export cannot tell from the marker)."""
    candidates = [token for token in model.special_tokens if token not in ("", "</w>") and token in model.token_to_id]
    if candidates and rng.random() < 0.5:
        tokenizer.unknown_token = model.unknown_token = rng.choice(candidates)


@pytest.mark.parametrize("seed", range(4))
def test_places_follow_the_literal_model(tmp_path, seed):
    rng = random.Random(3000 + seed)
    for case in range(25):
        tokenizer, model, characters, separators, lexicon = trained_case(rng, tmp_path / f"case{case}")
        with_unknown_token(rng, tokenizer, model)
        for _ in range(8):
            text = random_text(rng, characters, separators, lexicon, model.special_tokens)
            try:
                expected_tokens = literal.encode(model, text)[0]
            except literal.MissingToken:
                continue
            encoder = tokenizer.encode(text)
            assert encoder.tokens == expected_tokens
            assert places(encoder) == token_places(model, text), f"seed {seed} case {case}: {text!r}"


@pytest.mark.parametrize("seed", range(2))
def test_places_stay_inside_the_text_on_hand_made_models(tmp_path, seed):
    rng = random.Random(4000 + seed)
    for case in range(30):
        model, characters = random_inconsistent_model(rng)
        literal.write_model_directory(model, tmp_path / f"model{case}")
        tokenizer = wrenmark.BpeTokenizer.from_pretrained(str(tmp_path / f"model{case}"))
        for _ in range(6):
            text = random_text(rng, characters, [" ", "\t"], characters, model.special_tokens)
            try:
                encoder = tokenizer.encode(text)
            except RuntimeError:
                continue
            offsets = encoder.offsets
            assert len(offsets) == len(encoder.tokens) == len(encoder.word_ids)
            assert all(0 <= start <= end <= len(text) for start, end in offsets)
            assert [start for start, _ in offsets] == sorted(start for start, _ in offsets)


# ---------------------------------------------------------------- HF tokenizers


def compare_with_hf(tokenizer, exported, text):
    ours, theirs = tokenizer.encode(text), exported.encode(text)
    assert ours.ids == theirs.ids
    for index, token in enumerate(ours.tokens):
        start, end = ours.offsets[index]
        if token == "</w>" and ours.word_ids[index] is not None:
            # HF gives the marker alone its word's last character; ours covers the empty span
            # after it.
            assert (start, end) == (theirs.offsets[index][1],) * 2, f"{text!r}: token {index}"
        else:
            assert (start, end) == theirs.offsets[index], f"{text!r}: token {index}"
    # HF numbers special tokens as words too; ours take no number.
    specials_before = [sum(word is None for word in ours.word_ids[:index]) for index in range(len(ours.word_ids))]
    assert [None if word is None else word + before for word, before in zip(ours.word_ids, specials_before)] == [
        None if word is None else theirs_word for word, theirs_word in zip(ours.word_ids, theirs.word_ids)]
    for (start, end), word, token in zip(ours.offsets, ours.word_ids, ours.tokens):
        assert word is not None or text[start:end] == token


@pytest.mark.parametrize("seed", range(4))
def test_places_equal_those_of_the_exported_tokenizer(tmp_path, seed):
    tokenizers = pytest.importorskip("tokenizers")
    rng = random.Random(5000 + seed)
    compared = 0
    for case in range(20):
        tokenizer, model, characters, separators, lexicon = trained_case(rng, tmp_path / f"case{case}")
        with_unknown_token(rng, tokenizer, model)
        if not hf.export_is_exact(tokenizer):
            continue
        exported = tokenizers.Tokenizer.from_str(hf.to_tokenizers_json(tokenizer))
        for _ in range(8):
            text = random_text(rng, characters, separators, lexicon, model.special_tokens)
            try:
                tokenizer.encode(text)
            except RuntimeError:  # a character without a token, which HF would drop
                continue
            compare_with_hf(tokenizer, exported, text)
            compared += 1
    assert compared > 50


# ---------------------------------------------------------------- ids_buffer


@pytest.mark.parametrize("text", ["", "ab", "ab ba <s> abab " * 40])
def test_ids_buffer_holds_the_ids_without_a_copy(tmp_path, text):
    tokenizer = train_on_text(tmp_path, "ab ba abab <s>", 12, special_tokens=["<s>"])
    encoder = tokenizer.encode(text)
    view = encoder.ids_buffer
    assert (view.format, view.itemsize, view.readonly, view.c_contiguous) == ("I", 4, True, True)
    array = np.asarray(view)
    assert array.dtype == np.uint32 and array.tolist() == encoder.ids
    assert not array.flags.writeable
    assert np.shares_memory(array, np.asarray(encoder.ids_buffer)) or not encoder.ids
    with pytest.raises(TypeError):
        view[0:0] = b""
    del encoder, tokenizer
    assert array.tolist() == view.tolist()  # the view keeps the encoding alive


def test_encode_batch_ids_buffers(tmp_path):
    tokenizer = train_on_text(tmp_path, "ab ba abab", 12)
    batch = tokenizer.encode_batch(["ab", "ba abab", ""] * 100)
    assert [np.asarray(encoder.ids_buffer).tolist() for encoder in batch] == [encoder.ids for encoder in batch]



# ---------------------------------------------------------------- the export's post-processor


@pytest.mark.parametrize("prefix_ids, suffix_ids", [([0], []), ([], [1]), ([0, 0], [1, 3]), ([5], [5])])
def test_the_export_adds_prefix_and_suffix_ids_as_encode_batch_padded_does(tmp_path, prefix_ids, suffix_ids):
    tokenizers = pytest.importorskip("tokenizers")
    tokenizer = train_on_text(tmp_path, "<s> </s> ab ba abab b</w>", 12, special_tokens=["<s>", "</s>"])
    exported = tokenizers.Tokenizer.from_str(
        hf.to_tokenizers_json(tokenizer, prefix_ids=prefix_ids, suffix_ids=suffix_ids))
    texts = ["ab ba", "", "<s>abab"]
    padded = tokenizer.encode_batch_padded(texts, prefix_ids=prefix_ids, suffix_ids=suffix_ids, pad_id=0)
    for row, text in enumerate(texts):
        length = int(np.asarray(padded.lengths)[row])
        assert exported.encode(text).ids == np.asarray(padded.ids)[row, :length].tolist()


def test_the_export_without_prefix_or_suffix_is_unchanged(tmp_path):
    tokenizer = train_on_text(tmp_path, "ab ba abab", 12)
    plain = hf.to_tokenizers_json(tokenizer)
    assert hf.to_tokenizers_json(tokenizer, prefix_ids=(), suffix_ids=[]) == plain
    assert '"post_processor": null' in plain
    with pytest.raises(ValueError, match="99 is not the id of a token"):
        hf.to_tokenizers_json(tokenizer, suffix_ids=[99])
