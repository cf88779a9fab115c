"""The tokenizer.json export against HF tokenizers: ids compared one by one with wrenmark's."""

import importlib
import json
import random

import pytest

import wrenmark
from helpers import train_on_text

# Importing a submodule binds it on the package; the surface tests expect the plain package.
hf = importlib.import_module("wrenmark.hf")
vars(wrenmark).pop("hf", None)

tokenizers = pytest.importorskip("tokenizers")

PROSE = (
    "wrenmark is a trainable byte-pair-encoding (BPE) tokenizer for Python with a C++20 core. It "
    "learns a vocabulary and merge rules from a plain UTF-8 text corpus, encodes text into tokens "
    "and ids, decodes ids back into text, and saves a trained model as a directory of five JSON "
    "files that can be loaded again. Wrong argument types raise TypeError, OverflowError or "
    "UnicodeEncodeError; errors of an operation raise RuntimeError, with nothing lost: an "
    "unreadable corpus leaves the tokenizer untrained (fix the file and call `train()` again).\n"
    "Ça marche aussi en français, übrigens auch auf Deutsch — и по-русски, 也可以用中文。\n"
)
# Pieces that exercise the word rules: every kind of white space, characters that look like
# white space but are not, ASCII and other punctuation, a literal end-of-word marker.
PIECES = ["a", "b", "ab", "ba", "abc", "é", "中", " ", "  ", "\t", "\n", "\u00a0", "\u3000",
          "\u200b", "\u001f", "\ufeff", ",", ".", "'", "!", "¿", "—", "<", "/", "w", ">", "</w>"]


def _text(rng: random.Random, pieces: list[str], length: int) -> str:
    return "".join(rng.choice(pieces) for _ in range(length))


def _hf(tokenizer):
    return tokenizers.Tokenizer.from_str(hf.to_tokenizers_json(tokenizer))


def assert_same_ids(tokenizer, exported, text: str) -> None:
    ours = tokenizer.encode(text).ids
    theirs = exported.encode(text).ids
    for position, (our_id, their_id) in enumerate(zip(ours, theirs)):
        assert our_id == their_id, f"{text!r}: id {position} is {their_id}, wrenmark's {our_id}"
    assert len(ours) == len(theirs), f"{text!r}: {len(theirs)} ids, wrenmark's {len(ours)}"
    assert exported.decode(ours, skip_special_tokens=False) == tokenizer.decode(ours)


def _encodable(tokenizer, text: str) -> bool:
    try:
        tokenizer.encode(text)
    except RuntimeError:
        return False
    return True


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("pre_tokenization", ["whitespace", "punctuation"])
@pytest.mark.parametrize("special_tokens", [
    [],
    ["<s>", "</s>"],
    ["<s>", "<s>x", "x<s>"],       # a later token that an earlier one is a prefix of never matches
    ["<s>x", "<s>", "ab"],         # the longer first: both match, the longer where it fits
    ["a", "</w>", ""],             # a one-character token, the marker's own text, an empty token
])
def test_generated_texts_encode_and_decode_alike(tmp_path, seed, pre_tokenization, special_tokens):
    rng = random.Random(seed)
    pieces = rng.sample(PIECES, rng.randint(4, len(PIECES))) + [t for t in special_tokens if t]
    corpus = _text(rng, pieces, rng.randint(0, 500))
    tokenizer = train_on_text(tmp_path, corpus, rng.randint(0, 120), pre_tokenization, special_tokens)
    exported = _hf(tokenizer)
    texts = [_text(rng, pieces, rng.randint(0, 80)) for _ in range(40)]
    texts += ["", " ", corpus, "ab" * 300]          # nothing, white space only, a long word
    for text in filter(lambda text: _encodable(tokenizer, text), texts):
        assert_same_ids(tokenizer, exported, text)


@pytest.mark.parametrize("pre_tokenization", ["whitespace", "punctuation"])
@pytest.mark.parametrize("target", [60, 300, 1000])
def test_prose_encodes_alike(tmp_path, pre_tokenization, target):
    tokenizer = train_on_text(tmp_path, PROSE * 3, target, pre_tokenization, ["<doc>"])
    exported = _hf(tokenizer)
    shuffled = " ".join(reversed(PROSE.split()))
    for line in (PROSE + "<doc>" + shuffled + "<doc>").splitlines():
        assert_same_ids(tokenizer, exported, line)


def test_a_vocabulary_holding_the_usual_marker_character_still_exports(tmp_path):
    tokenizer = train_on_text(tmp_path, "a\ue000b \ue000\ue001 b\ue000", 30)
    assert_same_ids(tokenizer, _hf(tokenizer), "\ue000\ue001 a\ue000b b")


def test_save_writes_a_file_that_loads(tmp_path):
    tokenizer = train_on_text(tmp_path, PROSE, 200, special_tokens=["<s>"])
    path = tmp_path / "tokenizer.json"
    hf.save_tokenizers_json(tokenizer, path)
    assert json.loads(path.read_text(encoding="utf-8"))["model"]["type"] == "BPE"
    assert_same_ids(tokenizer, tokenizers.Tokenizer.from_file(str(path)), "<s>" + PROSE)


def test_transformers_loads_the_export(tmp_path):
    transformers = pytest.importorskip("transformers")
    tokenizer = train_on_text(tmp_path, PROSE, 200, special_tokens=["<s>"])
    path = tmp_path / "tokenizer.json"
    hf.save_tokenizers_json(tokenizer, path)
    fast = transformers.PreTrainedTokenizerFast(tokenizer_file=str(path))
    text = "<s>" + PROSE.splitlines()[0]
    ids = tokenizer.encode(text).ids
    assert fast(text)["input_ids"] == ids
    assert fast.decode(ids, skip_special_tokens=False, clean_up_tokenization_spaces=False) == tokenizer.decode(ids)


def test_the_unknown_token_stands_for_unseen_characters(tmp_path):
    tokenizer = train_on_text(tmp_path, "ab ba <unk>", 10, special_tokens=["<unk>"])
    tokenizer.unknown_token = "<unk>"
    exported = _hf(tokenizer)
    for text in ["abz", "zz ab", "a\ue000b", "<unk>x"]:
        assert_same_ids(tokenizer, exported, text)


def test_an_untrained_tokenizer_is_refused(tmp_path):
    untrained = wrenmark.BpeTokenizer(str(tmp_path / "none.txt"), 10, wrenmark.PreTokenization.whitespace())
    with pytest.raises(ValueError, match="untrained"):
        hf.to_tokenizers_json(untrained)


def _hand_made_model(directory, ranks):
    """a b ab aba and the marker; merges (a, b) to ab and (ab, a) to aba with the given ranks."""
    directory.mkdir()
    files = {
        "config.json": {"target_vocab_size": 5, "pre_tokenizer": "Whitespace", "special_tokens": [],
                        "special_token_removal_method": "Simple"},
        "token_table.json": {"id_to_token": ["a", "b", "</w>", "ab", "aba"],
                             "token_to_id": {"a": 0, "b": 1, "</w>": 2, "ab": 3, "aba": 4}},
        "merge_rules.json": [[0, 1], [3, 0]],
        "save_ranks.json": {"0_1": ranks[0], "3_0": ranks[1]},
        "pairs_to_merge.json": {"0_1": 3, "3_0": 4},
    }
    for name, content in files.items():
        (directory / name).write_text(json.dumps(content))
    return wrenmark.BpeTokenizer.from_pretrained(str(directory))


@pytest.mark.parametrize("ranks, exact", [((0, 1), True), ((1, 0), False)])
def test_export_is_exact_tells_when_merge_order_can_part(tmp_path, ranks, exact):
    tokenizer = _hand_made_model(tmp_path / "model", ranks)
    assert hf.export_is_exact(tokenizer) is exact
    same = tokenizer.encode("abab").ids == _hf(tokenizer).encode("abab").ids
    assert same or not exact
