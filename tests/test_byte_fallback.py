"""Byte fallback: the byte tokens in the vocabulary, encoding and decoding against the literal
model, saving and loading, the settings it refuses and the HF export."""

import importlib
import json
import pickle
import random

import pytest
import wrenmark

from helpers import train_on_text, vocabulary
from reference import literal_encoding as literal
from test_encoding import actual_encoding

hf = importlib.import_module("wrenmark.hf")

SPECIAL_TOKENS = ["<s>", "</s>"]
BYTE_TOKENS = [f"<0x{byte:02X}>" for byte in range(256)]
# Unseen characters of one to four UTF-8 bytes, the one-byte ones beside letters of the corpus.
UNSEEN = ["x", "\x7f", "é", "ß", "日", "€", "😀", "\U0010FFFF"]
SEEN = "lowernstid"


def trained(tmp_path, corpus, target=320, special_tokens=SPECIAL_TOKENS):
    corpus_path = tmp_path / "corpus.txt"
    corpus_path.write_text(corpus, encoding="utf-8")
    tokenizer = wrenmark.BpeTokenizer(str(corpus_path), target, wrenmark.PreTokenization.whitespace(),
                                      special_tokens, save_model=True, output_dir=str(tmp_path / "model"))
    tokenizer.byte_fallback = True
    tokenizer.train()
    return tokenizer


@pytest.fixture
def fallback(tmp_path):
    return trained(tmp_path, " ".join(["low", "lower", "lowest", "newer", "widest", "<s>", "tide"] * 20))


def test_the_byte_tokens_sit_after_the_special_tokens_and_count_in_the_target(tmp_path):
    tokenizer = trained(tmp_path, "ab ab ba", target=len(SPECIAL_TOKENS) + 256 + 4)
    tokens = vocabulary(tokenizer)
    assert tokens[:len(SPECIAL_TOKENS)] == SPECIAL_TOKENS
    assert tokens[len(SPECIAL_TOKENS):len(SPECIAL_TOKENS) + 256] == BYTE_TOKENS
    # The alphabet and "</w>" come next; the target leaves room for one merge, never of a byte token.
    assert tokens[len(SPECIAL_TOKENS) + 256:] == ["a", "b", "</w>", tokens[-1]]
    assert tokenizer.vocab_size == len(SPECIAL_TOKENS) + 256 + 4 and tokenizer.merge_count == 1


@pytest.mark.parametrize("corpus", ["<0x41>a <0x41>b <0x41>c <0x41>d", "x<0xFF> y<0xFF> <0xFF>z <0xFF>"])
@pytest.mark.parametrize("classic", [False, True])
def test_no_merge_joins_into_a_byte_token(tmp_path, corpus, classic):
    # The merge would give the byte token's id, which decodes as its byte.
    corpus_path = tmp_path / "corpus.txt"
    corpus_path.write_text(" ".join([corpus] * 30))
    tokenizer = wrenmark.BpeTokenizer(str(corpus_path), 400, wrenmark.PreTokenization.whitespace())
    tokenizer.byte_fallback = True
    tokenizer.merge_all_occurrences = classic
    tokenizer.train()
    assert tokenizer.merge_count > 10
    for word in corpus.split():
        assert tokenizer.decode(tokenizer.encode(word + "é").ids) == word + "é "


def random_text(rng):
    """Words of seen and unseen characters, unseen ones at word starts, ends, inside and alone,
    special tokens glued to them or apart."""
    pieces = []
    for _ in range(rng.randint(0, 8)):
        kind = rng.randrange(5)
        seen = "".join(rng.choice(SEEN) for _ in range(rng.randint(0, 5)))
        unseen = "".join(rng.choice(UNSEEN) for _ in range(rng.randint(1, 3)))
        pieces.append([unseen + seen, seen + unseen, seen[:2] + unseen + seen[2:], unseen,
                       rng.choice(SPECIAL_TOKENS) + unseen][kind])
        pieces.append(rng.choice([" ", " ", "  ", "\n", ""]))
    return "".join(pieces)


@pytest.mark.parametrize("seed", range(4))
def test_encoding_and_decoding_follow_the_literal_model(fallback, tmp_path, seed):
    model = literal.load_model_directory(tmp_path / "model")
    assert model.byte_fallback
    rng = random.Random(seed)
    texts = [random_text(rng) for _ in range(60)]
    for text in texts:
        assert actual_encoding(fallback, text) == literal.encode(model, text), repr(text)
        ids = fallback.encode(text).ids
        # What wrenmark's decode restores: the words apart, each followed by a space.
        assert fallback.decode(ids) == literal.decode(model, ids)
    ids_batch = [encoding.ids for encoding in fallback.encode_batch(texts)]
    assert ids_batch == [fallback.encode(text).ids for text in texts]
    assert fallback.decode_batch(ids_batch) == [literal.decode(model, ids) for ids in ids_batch]


@pytest.mark.parametrize("text", ["日本", "x日 é", "lowé 😀 newer", "ab\U0010FFFFcd", "\x7f"])
def test_decode_gives_back_the_words_of_any_text(fallback, text):
    assert fallback.decode(fallback.encode(text).ids) == "".join(word + " " for word in text.split())


@pytest.mark.parametrize("text, tokens, types", [
    # A byte token is always a subword: starting a word, inside one, or last before "</w>".
    ("élow", ["<0xC3>", "<0xA9>", "low</w>"], ["SUBWORD"] * 3),
    ("élow low", ["<0xC3>", "<0xA9>", "low</w>", "low</w>"], ["SUBWORD", "SUBWORD", "WORD", "WORD"]),
    ("loéw", ["lo", "<0xC3>", "<0xA9>", "w</w>"], ["SUBWORD"] * 4),
    ("lowé", ["low", "<0xC3>", "<0xA9>", "</w>"], ["SUBWORD"] * 3 + ["SPECIALTOKEN"]),
    ("<s>x", ["<s>", "<0x78>", "</w>"], ["SPECIALTOKEN", "SUBWORD", "SPECIALTOKEN"]),
])
def test_byte_tokens_are_subwords(fallback, text, tokens, types):
    encoder = fallback.encode(text)
    assert encoder.tokens == tokens
    assert encoder.token_types == [getattr(wrenmark.TokenType, name) for name in types]


# Runs of byte tokens that are not valid UTF-8: decode replaces as Python does.
@pytest.mark.parametrize("data", [
    b"\xe6\x97", b"\xe6\x97\xa5\xe6", b"\x80", b"\xff\xfe", b"\xc0\xaf", b"\xe0\x80\xaf", b"\xed\xa0\x80",
    b"\xf4\x90\x80\x80", b"\xf0\x9f\x98", b"\xf0\x9f\x98a", b"a\xc3", b"\xc3\xa9\xa9", b"\xf8\x88\x80\x80\x80",
])
def test_an_invalid_byte_run_decodes_as_python_replaces(fallback, data):
    byte_ids = [fallback.get_id_by_token(f"<0x{byte:02X}>") for byte in data]
    assert fallback.decode(byte_ids) == data.decode("utf-8", errors="replace")
    # A token between two runs ends the first: each is decoded by itself.
    separator = fallback.get_id_by_token("low")
    expected = data.decode("utf-8", errors="replace")
    assert fallback.decode(byte_ids + [separator] + byte_ids) == expected + "low" + expected


def test_save_load_and_pickle_keep_byte_fallback(fallback, tmp_path):
    config = json.loads((tmp_path / "model" / "config.json").read_text())
    assert config["byte_fallback"] is True
    text = "lowé 日本 <s>😀"
    for restored in [wrenmark.BpeTokenizer.from_pretrained(str(tmp_path / "model")),
                     pickle.loads(pickle.dumps(fallback))]:
        assert restored.byte_fallback is True
        assert restored.encode(text).ids == fallback.encode(text).ids


def test_a_vocabulary_without_byte_tokens_names_the_missing_one(tmp_path):
    tokenizer = train_on_text(tmp_path, "low lower", 10)
    tokenizer.byte_fallback = True
    with pytest.raises(RuntimeError, match="^the id for token <0xC3> does not exist$"):
        tokenizer.encode("é")


@pytest.mark.parametrize("first, second", [
    (("unknown_token", "<s>"), ("byte_fallback", True)),
    (("byte_fallback", True), ("unknown_token", "<s>")),
])
def test_byte_fallback_and_the_unknown_token_exclude_each_other(tmp_path, first, second):
    tokenizer = wrenmark.BpeTokenizer(str(tmp_path / "c.txt"), 10, wrenmark.PreTokenization.whitespace(), ["<s>"])
    setattr(tokenizer, *first)
    with pytest.raises(ValueError, match="^byte_fallback and unknown_token exclude each other$"):
        setattr(tokenizer, *second)
    assert getattr(tokenizer, second[0]) in (None, False)
    # Turning either off stays possible.
    setattr(tokenizer, first[0], None if first[0] == "unknown_token" else False)
    setattr(tokenizer, *second)


TRAINING_CALLS = {
    "train": lambda tokenizer: tokenizer.train(),
    "train_from_iterator": lambda tokenizer: tokenizer.train_from_iterator(["low lower"]),
    "train_from_word_counts": lambda tokenizer: tokenizer.train_from_word_counts({"low": 1, "lower": 1}),
}


@pytest.mark.parametrize("special_token", ["<0x41>", "<0xFF>"])
@pytest.mark.parametrize("training", TRAINING_CALLS)
def test_a_special_token_spelled_like_a_byte_token_is_refused(tmp_path, special_token, training):
    (tmp_path / "c.txt").write_text("low lower")
    tokenizer = wrenmark.BpeTokenizer(str(tmp_path / "c.txt"), 300, wrenmark.PreTokenization.whitespace(),
                                      ["<s>", special_token])
    tokenizer.byte_fallback = True
    with pytest.raises(ValueError, match=f"^the special token {special_token} is spelled like a byte token"):
        TRAINING_CALLS[training](tokenizer)
    assert tokenizer.vocab_size == 0
    tokenizer.byte_fallback = False
    TRAINING_CALLS[training](tokenizer)


def test_a_config_with_both_fallbacks_is_refused(fallback, tmp_path):
    config = tmp_path / "model" / "config.json"
    document = json.loads(config.read_text())
    config.write_text(json.dumps({**document, "unknown_token": "<s>"}, indent=2))
    with pytest.raises(RuntimeError, match="byte_fallback and unknown_token exclude each other in config.json"):
        wrenmark.BpeTokenizer.from_pretrained(str(tmp_path / "model"))


def test_the_hf_export_gives_the_same_ids(fallback):
    tokenizers = pytest.importorskip("tokenizers")
    exported = tokenizers.Tokenizer.from_str(hf.to_tokenizers_json(fallback))
    rng = random.Random(7)
    for text in [random_text(rng) for _ in range(40)]:
        ids = fallback.encode(text).ids
        assert exported.encode(text).ids == ids, repr(text)
        assert exported.decode(ids, skip_special_tokens=False) == fallback.decode(ids)
