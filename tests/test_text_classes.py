"""The character classes of pre-tokenization: defined once in the core, restated by the Python
code that needs them (the tokenizer.json export, the literal models), and followed by the word
scanner for every character, wherever it falls in the scanner's sixteen-byte steps."""

import importlib
import sys

import pytest

import wrenmark
from helpers import train_on_text
from reference import literal_encoding, literal_training

# Importing a submodule binds it on the package (the first time only); the surface tests expect
# the plain package.
hf = importlib.import_module("wrenmark.hf")
vars(wrenmark).pop("hf", None)

CORE_WHITE_SPACE, CORE_PUNCTUATION = sys.modules["wrenmark.wrenmark"]._text_classes()

# Every character of the basic plane (one to three bytes in UTF-8, where all white space lies) and
# a spread of four-byte ones with varied continuation bytes.
CHARACTERS = [chr(code) for code in [*range(0xD800), *range(0xE000, 0x10000), *range(0x10000, 0x110000, 0x101)]]


def _characters(ranges: list[tuple[int, int]]) -> set[str]:
    return {chr(code) for low, high in ranges for code in range(low, high + 1)}


def test_the_accessor_stays_private():
    assert "_text_classes" not in sys.modules["wrenmark.wrenmark"].__all__
    assert not hasattr(wrenmark, "_text_classes")


def test_the_core_lists_each_character_once_in_code_point_order():
    for characters in (CORE_WHITE_SPACE, CORE_PUNCTUATION):
        assert list(characters) == sorted(set(characters))


@pytest.mark.parametrize("restated, core", [
    pytest.param(_characters(hf._WHITE_SPACE_CODES), CORE_WHITE_SPACE, id="export white space"),
    pytest.param(_characters(hf._PUNCTUATION_CODES), CORE_PUNCTUATION, id="export punctuation"),
    pytest.param(literal_training.WHITE_SPACE_CHARACTERS, CORE_WHITE_SPACE, id="literal training white space"),
    pytest.param(literal_training.PUNCTUATION_CHARACTERS, CORE_PUNCTUATION, id="literal training punctuation"),
    pytest.param(literal_encoding.WHITE_SPACE, CORE_WHITE_SPACE, id="literal encoding white space"),
    pytest.param(literal_encoding.PUNCTUATION, CORE_PUNCTUATION, id="literal encoding punctuation"),
])
def test_restated_classes_equal_the_cores(restated, core):
    assert set(restated) == set(core)


def _words(tokens: list[str]) -> list[str]:
    # Without merges every token is one character or the end-of-word marker.
    words, current = [], ""
    for token in tokens:
        if token == "</w>":
            words.append(current)
            current = ""
        else:
            current += token
    return words


def _expected_words(before: str, character: str, after: str, pre_tokenization: str) -> list[str]:
    if character in CORE_WHITE_SPACE:
        return [before, after]
    if pre_tokenization == "punctuation" and character in CORE_PUNCTUATION:
        return [before, character, after]
    return [before + character + after]


@pytest.fixture(scope="module", params=["whitespace", "punctuation"])
def tokenizer_and_mode(request, tmp_path_factory):
    # Every character in the vocabulary and a target that allows no merge.
    corpus = " ".join(CHARACTERS) + " a b"
    return train_on_text(tmp_path_factory.mktemp("classes"), corpus, 1, request.param), request.param


@pytest.mark.parametrize("layout", [
    # The character inside the first sixteen bytes, at every offset, so multi-byte ones also
    # straddle the end of a step: the vector path.
    pytest.param(lambda code: ("a" * (code % 16 + 1), "b" * 24), id="vector"),
    # The character after the last whole step: the byte-at-a-time path.
    pytest.param(lambda code: ("a" * 16, "b"), id="tail"),
])
def test_the_scanner_splits_at_exactly_the_cores_classes(tokenizer_and_mode, layout):
    tokenizer, pre_tokenization = tokenizer_and_mode
    placed = [(*layout(ord(character)), character) for character in CHARACTERS]
    encodings = tokenizer.encode_batch([before + character + after for before, after, character in placed])
    wrong = [
        f"U+{ord(character):04X}"
        for (before, after, character), encoding in zip(placed, encodings)
        if _words(encoding.tokens) != _expected_words(before, character, after, pre_tokenization)
    ]
    assert not wrong, f"split otherwise than the classes say: {', '.join(wrong[:20])}"
