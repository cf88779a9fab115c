"""The unknown token through encode, decode, save and load; save() beside train()'s save."""

import random

import pytest
import wrenmark

from helpers import train_on_text
from reference import literal_encoding as literal
from test_encoding import actual_encoding

MODEL_FILES = ["config.json", "token_table.json", "merge_rules.json", "save_ranks.json", "pairs_to_merge.json"]


@pytest.fixture
def lowish(tmp_path):
    return train_on_text(tmp_path, "low lower lowest <unk> [PAD]", 20, special_tokens=["<unk>", "[PAD]"])


# The merges make "low</w>" but no "lo" (the literal model below covers merges at large).
@pytest.mark.parametrize("text, tokens", [
    ("low", ["low</w>"]),
    ("日", ["<unk>", "</w>"]),
    ("lo日w", ["l", "o", "<unk>", "w", "</w>"]),
    ("日日 low", ["<unk>", "<unk>", "</w>", "low</w>"]),
    ("<unk>x", ["<unk>", "<unk>", "</w>"]),
])
def test_unseen_characters_become_the_unknown_token(lowish, text, tokens):
    lowish.unknown_token = "<unk>"
    encoder = lowish.encode(text)
    assert encoder.tokens == tokens
    unknown_id = lowish.get_id_by_token("<unk>")
    for token, token_id, kind in zip(encoder.tokens, encoder.ids, encoder.token_types):
        if token == "<unk>":
            assert (token_id, kind) == (unknown_id, wrenmark.TokenType.SPECIALTOKEN)
    assert lowish.decode(encoder.ids) == lowish.decode([lowish.get_id_by_token(t) for t in tokens])


def test_the_unknown_token_decodes_like_a_special_token(lowish):
    lowish.unknown_token = "<unk>"
    assert lowish.decode(lowish.encode("lo日w").ids) == "lo<unk> w "
    assert lowish.decode_batch([lowish.encode("日").ids]) == ["<unk>  "]


@pytest.mark.parametrize("value, exception, message", [
    ("[MASK]", ValueError, "the unknown token '[MASK]' is not one of the special tokens"),
    ("low", ValueError, "the unknown token 'low' is not one of the special tokens"),
    (3, TypeError, "unknown_token must be a str or None, not 'int'"),
    (b"<unk>", TypeError, "unknown_token must be a str or None, not 'bytes'"),
])
def test_setting_an_unknown_token_that_is_not_special(lowish, value, exception, message):
    with pytest.raises(exception, match=f"^{message.replace('[', '.').replace(']', '.')}$"):
        lowish.unknown_token = value
    assert lowish.unknown_token is None


def test_switching_the_unknown_token_on_and_off(lowish):
    with pytest.raises(RuntimeError, match="^the id for token 日 does not exist$"):
        lowish.encode("日")
    lowish.unknown_token = "[PAD]"
    assert lowish.encode("日").tokens == ["[PAD]", "</w>"]
    lowish.unknown_token = "<unk>"
    assert lowish.encode("日").tokens == ["<unk>", "</w>"]
    lowish.unknown_token = None
    with pytest.raises(RuntimeError, match="^the id for token 日 does not exist$"):
        lowish.encode("日")
    with pytest.raises(TypeError):
        del lowish.unknown_token


def test_an_untrained_tokenizer_takes_an_unknown_token(tmp_path):
    tokenizer = wrenmark.BpeTokenizer(str(tmp_path / "c.txt"), 5, wrenmark.PreTokenization.whitespace(), ["<unk>"])
    tokenizer.unknown_token = "<unk>"
    assert tokenizer.unknown_token == "<unk>"


CONFIG_WITHOUT = (b'{\n  "target_vocab_size": 20,\n  "pre_tokenizer": "Whitespace",\n  "special_tokens": [\n'
                  b'    "<unk>",\n    "[PAD]"\n  ],\n  "special_token_removal_method": "Simple"\n}')
CONFIG_WITH = CONFIG_WITHOUT[:-2] + b',\n  "unknown_token": "<unk>"\n}'
CLASSIC = b',\n  "merge_all_occurrences": true\n}'


# The optional members follow the four, each only when set, in one order.
@pytest.mark.parametrize("unknown_token, classic, config", [
    (None, False, CONFIG_WITHOUT),
    ("<unk>", False, CONFIG_WITH),
    (None, True, CONFIG_WITHOUT[:-2] + CLASSIC),
    ("<unk>", True, CONFIG_WITH[:-2] + CLASSIC),
])
def test_config_json_bytes_and_the_round_trip(lowish, tmp_path, unknown_token, classic, config):
    lowish.unknown_token = unknown_token
    lowish.merge_all_occurrences = classic
    lowish.save(str(tmp_path / "model"))
    assert (tmp_path / "model" / "config.json").read_bytes() == config
    loaded = wrenmark.BpeTokenizer.from_pretrained(str(tmp_path / "model"))
    assert (loaded.unknown_token, loaded.merge_all_occurrences) == (unknown_token, classic)
    text = "lower 日 low"
    assert actual_encoding(loaded, text) == actual_encoding(lowish, text)


@pytest.mark.parametrize("member, message", [
    ('"unknown_token": "[MASK]"', "the unknown token `[MASK]` is not one of the special tokens"),
    ('"unknown_token": 3', "expected a string"),
    ('"unknown_token": "[MASK]", "merge_all_occurrences": true',
     "the unknown token `[MASK]` is not one of the special tokens"),
])
def test_loading_a_bad_unknown_token(lowish, tmp_path, member, message):
    lowish.save(str(tmp_path / "model"))
    config = tmp_path / "model" / "config.json"
    config.write_bytes(config.read_bytes()[:-2] + b",\n  " + member.encode() + b"\n}")
    with pytest.raises(RuntimeError, match="config.json") as raised:
        wrenmark.BpeTokenizer.from_pretrained(str(tmp_path / "model"))
    assert message in str(raised.value)


@pytest.mark.parametrize("seed", range(3))
def test_unknown_characters_encode_as_the_literal_model(tmp_path, seed):
    rng = random.Random(500 + seed)
    for case in range(10):
        directory = tmp_path / f"case{case}"
        directory.mkdir()
        corpus = " ".join("".join(rng.choice("abc") for _ in range(rng.randint(1, 6))) for _ in range(30))
        tokenizer = train_on_text(directory, corpus, rng.randint(5, 40), special_tokens=["<u>", "a"],
                                  save_model=True, output_dir=str(directory / "model"))
        tokenizer.unknown_token = rng.choice(["<u>", "a"])
        model = literal.load_model_directory(directory / "model")
        model.unknown_token = tokenizer.unknown_token
        for _ in range(10):
            text = "".join(rng.choice("abcxy日 <u>") for _ in range(rng.randint(0, 30)))
            assert actual_encoding(tokenizer, text) == literal.encode(model, text), f"case {case}: {text!r}"


# ---------------------------------------------------------------------------------------------
# save()


def test_save_writes_what_training_writes(tmp_path):
    corpus = "the quick brown fox jumps over the lazy dog " * 20 + "<s> </s>"
    trained = train_on_text(tmp_path, corpus, 60, special_tokens=["<s>", "</s>"], save_model=True,
                            output_dir=str(tmp_path / "by_train"))
    trained.save(str(tmp_path / "by_save"))
    wrenmark.BpeTokenizer.from_pretrained(str(tmp_path / "by_train")).save(str(tmp_path / "by_load"))
    for name in MODEL_FILES:
        written = (tmp_path / "by_train" / name).read_bytes()
        assert (tmp_path / "by_save" / name).read_bytes() == written, name
        assert (tmp_path / "by_load" / name).read_bytes() == written, name


def test_save_refuses_an_untrained_tokenizer(tmp_path):
    tokenizer = wrenmark.BpeTokenizer(str(tmp_path / "c.txt"), 5, wrenmark.PreTokenization.whitespace())
    with pytest.raises(RuntimeError, match="^Cannot save an untrained tokenizer$"):
        tokenizer.save(str(tmp_path / "model"))
    assert not (tmp_path / "model").exists()


@pytest.mark.parametrize("argument, exception", [(None, TypeError), (b"model", TypeError), ("a\0b", RuntimeError)])
def test_save_argument_faults(lowish, argument, exception):
    with pytest.raises(exception):
        lowish.save(argument)


def test_a_failed_save_raises_and_leaves_the_tokenizer_as_it_was(lowish, tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("not a directory")
    before = (repr(lowish), lowish.encode("lower low").ids)
    with pytest.raises(RuntimeError, match="^File Error: "):
        lowish.save(str(blocker / "model"))
    assert (repr(lowish), lowish.encode("lower low").ids) == before
    lowish.save(str(tmp_path / "model"))
    assert wrenmark.BpeTokenizer.from_pretrained(str(tmp_path / "model")).encode("lower low").ids == before[1]
