"""The trainer limits min_frequency and max_token_length: both merge loops against their literal
models on generated corpora, hand-picked stops, and the values the attributes and loading refuse."""

import json
import random
import re

import pytest
import wrenmark
from helpers import vocabulary
from reference import literal_classic_training, literal_training
from reference.literal_training import PUNCTUATION, SIMPLE, WHITESPACE
from test_classic_merges import scratch  # noqa: F401 - the fixture
from test_training_differential import PROFILES, PRE_TOKENIZATIONS, REMOVAL_METHODS, generated_cases

LITERAL_MODELS = {False: literal_training, True: literal_classic_training}
# (min_frequency, max_token_length): each alone, both at once, and values that stop everything.
LIMITS = [(2, None), (3, None), (0, 1), (0, 2), (0, 3), (2, 2), (4, 3), (10**6, None)]


def train_wrenmark(directory, case, classic, min_frequency, max_token_length):
    corpus = directory / "corpus.txt"
    corpus.write_bytes(case.text.encode("utf-8"))
    output = directory / "model"
    tokenizer = wrenmark.BpeTokenizer(
        str(corpus), case.target, PRE_TOKENIZATIONS[case.pre_tokenization](), case.special_tokens,
        REMOVAL_METHODS[case.removal_method](), save_model=True, output_dir=str(output))
    tokenizer.merge_all_occurrences = classic
    tokenizer.min_frequency = min_frequency
    tokenizer.max_token_length = max_token_length
    tokenizer.train()
    id_to_token = json.loads((output / "token_table.json").read_text(encoding="utf-8"))["id_to_token"]
    return id_to_token, [tuple(rule) for rule in json.loads((output / "merge_rules.json").read_text())]


def wide_targets(rng, case):
    return [rng.randint(0, 60), 1 << 40]


@pytest.mark.parametrize("classic", [False, True], ids=["default", "classic"])
@pytest.mark.parametrize("pre_tokenization", [WHITESPACE, PUNCTUATION])
@pytest.mark.parametrize("profile", sorted(PROFILES))
def test_generated_corpora_train_as_the_literal_models(scratch, profile, pre_tokenization, classic):  # noqa: F811
    model = LITERAL_MODELS[classic]
    rng = random.Random(f"limits/{profile}/{pre_tokenization}/{classic}")
    cases = generated_cases(f"limits/{profile}/{pre_tokenization}", profile, pre_tokenization, SIMPLE,
                            wide_targets, corpora=6)
    for case in cases:
        min_frequency, max_token_length = rng.choice(LIMITS)
        extra = {} if classic else {"order_rng": None}
        expected = model.train_text(case.text, case.target, case.pre_tokenization, case.special_tokens,
                                    case.removal_method, **extra, min_frequency=min_frequency,
                                    max_token_length=max_token_length)
        limit = getattr(expected, "order_sensitive_at", None)
        actual = train_wrenmark(scratch, case, classic, min_frequency, max_token_length)
        assert actual[0][:limit] == expected.id_to_token[:limit], (str(case), min_frequency, max_token_length)
        if limit is None:
            assert actual[1] == expected.merge_rules, (str(case), min_frequency, max_token_length)


# text, min_frequency, max_token_length, the vocabulary learnt to a large target by the default
# loop, by the classic loop. The default loop also merges pairs whose count fell to 0.
EXAMPLES = [
    # (a, b) occurs 4 times, (ab, </w>) 3 times, the rest once: a minimum of 3 stops after two.
    ("ab ab ab abc", 3, None, ["a", "b", "c", "</w>", "ab", "ab</w>"], ["a", "b", "c", "</w>", "ab", "ab</w>"]),
    # "</w>" is not counted: "ab</w>" has two characters and fits a limit of 2; "abc" does not,
    # though (ab, c) wins the tie with (c, </w>).
    ("ab ab ab abc", 0, 2, ["a", "b", "c", "</w>", "ab", "ab</w>", "c</w>", "b</w>", "bc"],
     ["a", "b", "c", "</w>", "ab", "ab</w>", "c</w>"]),
    # Characters, not bytes: "éé" is four bytes and two characters.
    ("éé éé", 0, 2, ["é", "</w>", "é</w>", "éé</w>", "éé"], ["é", "</w>", "é</w>", "éé</w>"]),
    # A limit of one character allows only the merges with "</w>".
    ("abc abc", 0, 1, ["a", "b", "c", "</w>", "c</w>"], ["a", "b", "c", "</w>", "c</w>"]),
    # A minimum of 1 keeps the default loop from pairs whose count fell to 0.
    ("ab ab ab abc", 1, 2, ["a", "b", "c", "</w>", "ab", "ab</w>", "c</w>"],
     ["a", "b", "c", "</w>", "ab", "ab</w>", "c</w>"]),
]


@pytest.mark.parametrize("text, min_frequency, max_token_length, default, classic", EXAMPLES)
def test_examples_stop_where_the_limits_say(tmp_path, text, min_frequency, max_token_length, default, classic):
    corpus = tmp_path / "corpus.txt"
    corpus.write_text(text, encoding="utf-8")
    for merge_all_occurrences, expected in [(False, default), (True, classic)]:
        tokenizer = wrenmark.BpeTokenizer(str(corpus), 100, wrenmark.PreTokenization.whitespace())
        tokenizer.merge_all_occurrences = merge_all_occurrences
        tokenizer.min_frequency = min_frequency
        tokenizer.max_token_length = max_token_length
        tokenizer.train()
        assert vocabulary(tokenizer) == expected, merge_all_occurrences


def test_only_running_out_of_pairs_prints_the_message(tmp_path, capfd):
    corpus = tmp_path / "corpus.txt"
    corpus.write_text("ab ab ab abc")
    wrenmark.BpeTokenizer(str(corpus), 0, wrenmark.PreTokenization.whitespace()).train()  # flushes earlier output
    capfd.readouterr()
    stopped = wrenmark.BpeTokenizer(str(corpus), 100, wrenmark.PreTokenization.whitespace())
    stopped.min_frequency = 3
    stopped.train()
    wrenmark.BpeTokenizer(str(corpus), 0, wrenmark.PreTokenization.whitespace()).train()  # flushes the line
    assert literal_training.NO_MORE_PAIRS_MESSAGE not in capfd.readouterr().out
    too_long = wrenmark.BpeTokenizer(str(corpus), 100, wrenmark.PreTokenization.whitespace())
    too_long.max_token_length = 1
    too_long.train()
    wrenmark.BpeTokenizer(str(corpus), 0, wrenmark.PreTokenization.whitespace()).train()
    assert literal_training.NO_MORE_PAIRS_MESSAGE in capfd.readouterr().out


# attribute, value, exception, words of the message
BAD_VALUES = [
    ("min_frequency", -1, ValueError, "min_frequency must be at least 0"),
    ("min_frequency", 2**64, ValueError, "min_frequency must be below 2**64"),
    ("min_frequency", True, TypeError, "min_frequency must be an int, not 'bool'"),
    ("min_frequency", None, TypeError, "min_frequency must be an int, not 'NoneType'"),
    ("max_token_length", 0, ValueError, "max_token_length must be at least 1"),
    ("max_token_length", False, TypeError, "max_token_length must be an int or None, not 'bool'"),
    ("max_token_length", "3", TypeError, "max_token_length must be an int or None, not 'str'"),
]


@pytest.mark.parametrize("attribute, value, error, message", BAD_VALUES)
def test_bad_values_are_refused_and_the_setting_kept(attribute, value, error, message):
    tokenizer = wrenmark.BpeTokenizer("corpus.txt", 10, wrenmark.PreTokenization.whitespace())
    setattr(tokenizer, attribute, 7)
    with pytest.raises(error, match=re.escape(message)):
        setattr(tokenizer, attribute, value)
    assert getattr(tokenizer, attribute) == 7
    setattr(tokenizer, attribute, 2**64 - 1)
    assert getattr(tokenizer, attribute) == 2**64 - 1
    with pytest.raises(TypeError, match="cannot delete"):
        delattr(tokenizer, attribute)


@pytest.mark.parametrize("member, error", [
    ('"max_token_length": 0', "max_token_length must be at least 1"),
    ('"max_token_length": -1', "an integer from 0 to"),
    ('"min_frequency": true', "an integer from 0 to"),
])
def test_loading_refuses_bad_saved_limits(tmp_path, member, error):
    corpus = tmp_path / "corpus.txt"
    corpus.write_text("ab ab")
    tokenizer = wrenmark.BpeTokenizer(str(corpus), 5, wrenmark.PreTokenization.whitespace(), save_model=True,
                                      output_dir=str(tmp_path / "model"))
    tokenizer.train()
    config = tmp_path / "model" / "config.json"
    config.write_text(config.read_text().removesuffix("\n}") + ",\n  " + member + "\n}")
    with pytest.raises(RuntimeError, match=error):
        wrenmark.BpeTokenizer.from_pretrained(str(tmp_path / "model"))
