"""The Python surface of wrenmark: classes, signatures, argument conversion and its errors."""

import collections
import ctypes
import operator
import pathlib
import sys

import pytest

import wrenmark
from wrenmark import BpeTokenizer, Encoder, PreTokenization, SpecialTokenRemovalMethod, TokenType

CLASS_NAMES = ["BpeTokenizer", "PreTokenization", "SpecialTokenRemovalMethod", "Encoder", "TokenType"]


def interpreter_text(action):
    """The message of the exception that the interpreter itself raises for `action`."""
    try:
        action()
    except Exception as error:  # noqa: BLE001 - only its text is wanted
        return str(error)
    raise AssertionError("expected the action to fail")


NOT_AN_INTEGER = {value: interpreter_text(lambda value=value: operator.index(value)) for value in (1.5, "7", None)}
SURROGATE_TEXT = interpreter_text(lambda: "\ud800".encode("utf-8"))
NEGATIVE_TEXT = "can't convert negative int to unsigned"
TOO_BIG_TEXT = "int too big to convert"
OUT_OF_RANGE_TEXT = "out of range integral type conversion attempted"


def new_tokenizer(**overrides):
    arguments = {"input_path": "corpus.txt", "target_vocab_size": 100, "pretokenization_type": PreTokenization.whitespace()}
    arguments.update(overrides)
    return BpeTokenizer(**arguments)


class Index:
    """An integer-like object that is not an int."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


# ---------------------------------------------------------------------------------------------
# Module and classes


def test_module_exports_the_five_classes_in_order_and_nothing_else():
    assert wrenmark.__all__ == CLASS_NAMES
    assert [name for name in vars(wrenmark) if not name.startswith("_")] == CLASS_NAMES
    assert wrenmark.__doc__ == ""


def test_initialising_the_module_again_returns_the_same_module():
    extension = sys.modules["wrenmark.wrenmark"]
    library = ctypes.PyDLL(extension.__file__)
    library.PyInit_wrenmark.restype = ctypes.py_object
    assert library.PyInit_wrenmark() is extension


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_classes_are_named_under_builtins(name):
    cls = getattr(wrenmark, name)
    assert isinstance(cls, type)
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    assert repr(cls) == f"<class 'builtins.{name}'>"


@pytest.mark.parametrize(
    "callable_object, signature",
    [
        (
            BpeTokenizer,
            "(input_path, target_vocab_size, pretokenization_type, special_tokens=..., "
            "special_token_removal_method=None, save_model=False, output_dir=None)",
        ),
        (BpeTokenizer.get_id_by_token, "($self, token)"),
        (BpeTokenizer.get_token_by_id, "($self, id)"),
        (Encoder.get_token_type, "($self, token)"),
        (PreTokenization.whitespace, "()"),
        (PreTokenization.punctuation, "()"),
        (SpecialTokenRemovalMethod.simple, "()"),
        (SpecialTokenRemovalMethod.aho_corasick, "()"),
        (PreTokenization, None),
        (SpecialTokenRemovalMethod, None),
        (Encoder, None),
        (TokenType, None),
    ],
)
def test_docstrings_hold_only_the_signature(callable_object, signature):
    assert callable_object.__text_signature__ == signature
    assert not callable_object.__doc__


@pytest.mark.parametrize("cls", [PreTokenization, SpecialTokenRemovalMethod, Encoder, TokenType])
def test_classes_without_constructor_refuse_to_be_called(cls):
    with pytest.raises(TypeError) as raised:
        cls()
    assert raised.value.args == ("No constructor defined",)


# ---------------------------------------------------------------------------------------------
# PreTokenization and SpecialTokenRemovalMethod


@pytest.mark.parametrize(
    "cls, factory",
    [
        (PreTokenization, PreTokenization.whitespace),
        (PreTokenization, PreTokenization.punctuation),
        (SpecialTokenRemovalMethod, SpecialTokenRemovalMethod.simple),
        (SpecialTokenRemovalMethod, SpecialTokenRemovalMethod.aho_corasick),
    ],
)
def test_static_constructors_give_new_objects_that_compare_by_identity(cls, factory):
    first, second = factory(), factory()
    assert type(first) is cls
    assert first is not second
    assert first != second
    assert first == first
    assert repr(first).startswith(f"<builtins.{cls.__name__} object at 0x")


# ---------------------------------------------------------------------------------------------
# BpeTokenizer constructor


def test_constructor_takes_all_seven_arguments_by_position():
    tokenizer = BpeTokenizer(
        "corpus.txt", 10, PreTokenization.punctuation(), ["<s>"], SpecialTokenRemovalMethod.aho_corasick(), True, "out"
    )
    assert repr(tokenizer) == "BpeTokenizer(vocab_size=0)"


def test_constructor_takes_all_seven_arguments_by_keyword_in_any_order():
    tokenizer = BpeTokenizer(
        output_dir="out",
        save_model=True,
        special_token_removal_method=SpecialTokenRemovalMethod.simple(),
        special_tokens=("<s>", "</s>"),
        pretokenization_type=PreTokenization.whitespace(),
        target_vocab_size=10,
        input_path="corpus.txt",
    )
    assert repr(tokenizer) == "BpeTokenizer(vocab_size=0)"


@pytest.mark.parametrize(
    "overrides",
    [
        {},
        {"input_path": ""},
        {"input_path": "does/not/exist.txt"},
        {"target_vocab_size": 0},
        {"target_vocab_size": 2**64 - 1},
        {"target_vocab_size": True},
        {"target_vocab_size": Index(5)},
        {"special_tokens": []},
        {"special_tokens": ("<s>", "</s>")},
        {"special_tokens": ["", "<s>", "<s>"]},
        {"special_tokens": collections.UserList(["<s>"])},
        {"special_token_removal_method": None},
        {"special_token_removal_method": SpecialTokenRemovalMethod.aho_corasick()},
        {"save_model": False},
        {"save_model": True},
        {"save_model": True, "output_dir": None},
        {"output_dir": "out"},
    ],
    ids=repr,
)
def test_constructor_accepts(overrides):
    assert repr(new_tokenizer(**overrides)) == "BpeTokenizer(vocab_size=0)"


def test_str_is_the_representation_and_shows_the_vocabulary_size_not_the_target():
    tokenizer = new_tokenizer(target_vocab_size=5000)
    assert str(tokenizer) == repr(tokenizer) == "BpeTokenizer(vocab_size=0)"


@pytest.mark.parametrize(
    "call, fragments",
    [
        (lambda: BpeTokenizer("corpus.txt", 10), ["BpeTokenizer.__new__()", "pretokenization_type"]),
        (lambda: BpeTokenizer(), ["BpeTokenizer.__new__()", "input_path"]),
        (lambda: BpeTokenizer("c", 10, PreTokenization.whitespace(), [], None, False, None, 1), ["BpeTokenizer.__new__()"]),
        (lambda: new_tokenizer(vocab_size=10), ["BpeTokenizer.__new__()", "vocab_size"]),
        (lambda: BpeTokenizer("c", 10, PreTokenization.whitespace(), input_path="c"), ["BpeTokenizer.__new__()", "input_path"]),
        (lambda: new_tokenizer().get_id_by_token(), ["BpeTokenizer.get_id_by_token()", "token"]),
        (lambda: new_tokenizer().get_id_by_token("a", "b"), ["BpeTokenizer.get_id_by_token()"]),
        (lambda: new_tokenizer().get_token_by_id(), ["BpeTokenizer.get_token_by_id()", "id"]),
        (lambda: new_tokenizer().get_token_by_id(1, 2), ["BpeTokenizer.get_token_by_id()"]),
    ],
)
def test_argument_parsing_errors_name_the_callable_and_the_argument(call, fragments):
    with pytest.raises(TypeError) as raised:
        call()
    for fragment in fragments:
        assert fragment in str(raised.value)


# ---------------------------------------------------------------------------------------------
# Conversion errors of every parameter


def call_with(parameter, value):
    if parameter == "token":
        return new_tokenizer().get_id_by_token(token=value)
    if parameter == "id":
        return new_tokenizer().get_token_by_id(id=value)
    return new_tokenizer(**{parameter: value})


def cannot_convert(parameter, type_name, expected):
    return f"argument '{parameter}': '{type_name}' object cannot be converted to '{expected}'"


CONVERSION_ERRORS = [
    # text parameters
    ("input_path", 1, TypeError, cannot_convert("input_path", "int", "PyString")),
    ("input_path", None, TypeError, cannot_convert("input_path", "NoneType", "PyString")),
    ("input_path", b"corpus.txt", TypeError, cannot_convert("input_path", "bytes", "PyString")),
    ("input_path", pathlib.PurePosixPath("corpus.txt"), TypeError, cannot_convert("input_path", "PurePosixPath", "PyString")),
    ("input_path", "\ud800", UnicodeEncodeError, SURROGATE_TEXT),
    ("output_dir", 1, TypeError, cannot_convert("output_dir", "int", "PyString")),
    ("output_dir", b"out", TypeError, cannot_convert("output_dir", "bytes", "PyString")),
    ("output_dir", pathlib.PurePosixPath("out"), TypeError, cannot_convert("output_dir", "PurePosixPath", "PyString")),
    ("output_dir", "\ud800", UnicodeEncodeError, SURROGATE_TEXT),
    ("token", 1, TypeError, cannot_convert("token", "int", "PyString")),
    ("token", None, TypeError, cannot_convert("token", "NoneType", "PyString")),
    ("token", b"abc", TypeError, cannot_convert("token", "bytes", "PyString")),
    ("token", "\ud800", UnicodeEncodeError, SURROGATE_TEXT),
    # integer parameters
    ("target_vocab_size", 1.5, TypeError, f"argument 'target_vocab_size': {NOT_AN_INTEGER[1.5]}"),
    ("target_vocab_size", "7", TypeError, f"argument 'target_vocab_size': {NOT_AN_INTEGER['7']}"),
    ("target_vocab_size", None, TypeError, f"argument 'target_vocab_size': {NOT_AN_INTEGER[None]}"),
    ("target_vocab_size", -1, OverflowError, NEGATIVE_TEXT),
    ("target_vocab_size", Index(-1), OverflowError, NEGATIVE_TEXT),
    ("target_vocab_size", 2**64, OverflowError, TOO_BIG_TEXT),
    ("id", 1.5, TypeError, f"argument 'id': {NOT_AN_INTEGER[1.5]}"),
    ("id", "7", TypeError, f"argument 'id': {NOT_AN_INTEGER['7']}"),
    ("id", None, TypeError, f"argument 'id': {NOT_AN_INTEGER[None]}"),
    ("id", -1, OverflowError, NEGATIVE_TEXT),
    ("id", 2**32, OverflowError, OUT_OF_RANGE_TEXT),
    ("id", Index(2**32), OverflowError, OUT_OF_RANGE_TEXT),
    ("id", 2**64 - 1, OverflowError, OUT_OF_RANGE_TEXT),
    ("id", 2**64, OverflowError, TOO_BIG_TEXT),
    # enumeration parameters
    ("pretokenization_type", None, TypeError, cannot_convert("pretokenization_type", "NoneType", "PreTokenization")),
    ("pretokenization_type", 0, TypeError, cannot_convert("pretokenization_type", "int", "PreTokenization")),
    ("pretokenization_type", "whitespace", TypeError, cannot_convert("pretokenization_type", "str", "PreTokenization")),
    (
        "pretokenization_type",
        SpecialTokenRemovalMethod.simple(),
        TypeError,
        cannot_convert("pretokenization_type", "SpecialTokenRemovalMethod", "PreTokenization"),
    ),
    (
        "special_token_removal_method",
        PreTokenization.whitespace(),
        TypeError,
        cannot_convert("special_token_removal_method", "PreTokenization", "SpecialTokenRemovalMethod"),
    ),
    (
        "special_token_removal_method",
        "simple",
        TypeError,
        cannot_convert("special_token_removal_method", "str", "SpecialTokenRemovalMethod"),
    ),
    # bool parameter
    ("save_model", 1, TypeError, cannot_convert("save_model", "int", "PyBool")),
    ("save_model", 0, TypeError, cannot_convert("save_model", "int", "PyBool")),
    ("save_model", None, TypeError, cannot_convert("save_model", "NoneType", "PyBool")),
    ("save_model", "True", TypeError, cannot_convert("save_model", "str", "PyBool")),
    # list parameter
    ("special_tokens", "<s>", TypeError, "argument 'special_tokens': Can't extract `str` to `Vec`"),
    ("special_tokens", "", TypeError, "argument 'special_tokens': Can't extract `str` to `Vec`"),
    ("special_tokens", None, TypeError, cannot_convert("special_tokens", "NoneType", "Sequence")),
    ("special_tokens", {"<s>"}, TypeError, cannot_convert("special_tokens", "set", "Sequence")),
    ("special_tokens", {"<s>": 1}, TypeError, cannot_convert("special_tokens", "dict", "Sequence")),
    ("special_tokens", (token for token in ["<s>"]), TypeError, cannot_convert("special_tokens", "generator", "Sequence")),
    ("special_tokens", ["<s>", 1], TypeError, cannot_convert("special_tokens", "int", "PyString")),
    ("special_tokens", [b"<s>"], TypeError, cannot_convert("special_tokens", "bytes", "PyString")),
    ("special_tokens", b"<s>", TypeError, cannot_convert("special_tokens", "int", "PyString")),
    ("special_tokens", ["<s>", "\ud800"], UnicodeEncodeError, SURROGATE_TEXT),
]


@pytest.mark.parametrize(
    "parameter, value, exception, message", CONVERSION_ERRORS, ids=[f"{row[0]}={row[1]!r}" for row in CONVERSION_ERRORS]
)
def test_conversion_errors(parameter, value, exception, message):
    with pytest.raises(exception) as raised:
        call_with(parameter, value)
    assert type(raised.value) is exception
    assert str(raised.value) == message
    assert raised.value.__cause__ is None


def test_positional_arguments_fail_with_the_same_conversion_error():
    with pytest.raises(TypeError) as raised:
        BpeTokenizer("corpus.txt", 10, PreTokenization.whitespace(), [], None, 1)
    assert str(raised.value) == cannot_convert("save_model", "int", "PyBool")


@pytest.mark.parametrize(
    "arguments, exception, parameter",
    [
        ((1, -1, None, "x", 3, 1, 2), TypeError, "input_path"),
        (("corpus.txt", -1, None, "x", 3, 1, 2), OverflowError, None),
        (("corpus.txt", 10, None, "x", 3, 1, 2), TypeError, "pretokenization_type"),
        (("corpus.txt", 10, PreTokenization.whitespace(), "x", 3, 1, 2), TypeError, "special_tokens"),
        (("corpus.txt", 10, PreTokenization.whitespace(), [], 3, 1, 2), TypeError, "special_token_removal_method"),
        (("corpus.txt", 10, PreTokenization.whitespace(), [], None, 1, 2), TypeError, "save_model"),
        (("corpus.txt", 10, PreTokenization.whitespace(), [], None, True, 2), TypeError, "output_dir"),
    ],
)
def test_constructor_reports_the_first_argument_that_fails(arguments, exception, parameter):
    with pytest.raises(exception) as raised:
        BpeTokenizer(*arguments)
    if parameter is not None:
        assert str(raised.value).startswith(f"argument '{parameter}': ")


# ---------------------------------------------------------------------------------------------
# Lookups on the empty vocabulary of a new tokenizer


@pytest.mark.parametrize(
    "lookup, argument, message",
    [
        ("get_token_by_id", 0, "the token for id 0 does not exist"),
        ("get_token_by_id", 7, "the token for id 7 does not exist"),
        ("get_token_by_id", True, "the token for id 1 does not exist"),
        ("get_token_by_id", Index(12), "the token for id 12 does not exist"),
        ("get_token_by_id", 2**32 - 1, "the token for id 4294967295 does not exist"),
        ("get_id_by_token", "abc", "the id for token abc does not exist"),
        ("get_id_by_token", "", "the id for token  does not exist"),
        ("get_id_by_token", "</w>", "the id for token </w> does not exist"),
        ("get_id_by_token", "a b\n", "the id for token a b\n does not exist"),
        ("get_id_by_token", "héllo😀", "the id for token héllo😀 does not exist"),
    ],
)
def test_lookups_on_an_empty_vocabulary(lookup, argument, message):
    with pytest.raises(RuntimeError) as raised:
        getattr(new_tokenizer(), lookup)(argument)
    assert type(raised.value) is RuntimeError
    assert raised.value.args == (message,)
    assert raised.value.__cause__ is None


# ---------------------------------------------------------------------------------------------
# TokenType


@pytest.mark.parametrize(
    "token_type, text, value",
    [(TokenType.WORD, "TokenType.WORD", 0), (TokenType.SUBWORD, "TokenType.SUBWORD", 1), (TokenType.SPECIALTOKEN, "TokenType.SPECIALTOKEN", 2)],
)
def test_token_type_representation_and_integer_value(token_type, text, value):
    assert type(token_type) is TokenType
    assert repr(token_type) == str(token_type) == text
    assert int(token_type) == value


@pytest.mark.parametrize(
    "token_type, other, equal",
    [
        (TokenType.WORD, 0, True),
        (TokenType.WORD, False, True),
        (TokenType.SUBWORD, 1, True),
        (TokenType.SUBWORD, True, True),
        (TokenType.SPECIALTOKEN, 2, True),
        (TokenType.SPECIALTOKEN, Index(2), True),
        (TokenType.WORD, 1, False),
        (TokenType.WORD, -1, False),
        (TokenType.WORD, 2**70, False),
        (TokenType.WORD, TokenType.WORD, True),
        (TokenType.WORD, TokenType.SUBWORD, False),
        (TokenType.SUBWORD, TokenType.SPECIALTOKEN, False),
        (TokenType.WORD, "WORD", False),
        (TokenType.WORD, "TokenType.WORD", False),
        (TokenType.SUBWORD, 1.0, False),
        (TokenType.WORD, 0.0, False),
        (TokenType.WORD, None, False),
        (TokenType.WORD, PreTokenization.whitespace(), False),
    ],
)
def test_token_type_equality(token_type, other, equal):
    assert (token_type == other) is equal
    assert (token_type != other) is (not equal)
    assert (other == token_type) is equal
    assert (other != token_type) is (not equal)


@pytest.mark.parametrize("compare", [operator.lt, operator.le, operator.gt, operator.ge])
@pytest.mark.parametrize("other", [TokenType.SUBWORD, 1])
def test_token_type_has_no_ordering(compare, other):
    with pytest.raises(TypeError):
        compare(TokenType.WORD, other)
    with pytest.raises(TypeError):
        compare(other, TokenType.WORD)


def test_token_type_is_not_hashable():
    assert TokenType.__hash__ is None
    with pytest.raises(TypeError):
        hash(TokenType.WORD)
    with pytest.raises(TypeError):
        {TokenType.WORD}  # noqa: B018 - building the set is what fails


# ---------------------------------------------------------------------------------------------
# The borrow counter


def borrow_count(tokenizer):
    """The tokenizer's borrow counter, the first field after the object header."""
    return ctypes.c_ssize_t.from_address(id(tokenizer) + object.__basicsize__).value


class ReentrantIndex:
    """An id whose __index__ calls back into the tokenizer that is converting it, optionally
    converting another such id on the way, and records the borrow count and repr it saw."""

    def __init__(self, tokenizer, value, inner=None):
        self.tokenizer, self.value, self.inner, self.seen = tokenizer, value, inner, []

    def __index__(self):
        self.seen += [borrow_count(self.tokenizer), repr(self.tokenizer)]
        with pytest.raises(RuntimeError, match="^the id for token x does not exist$"):
            self.tokenizer.get_id_by_token("x")
        if self.inner is not None:
            with pytest.raises(RuntimeError, match=f"^the token for id {self.inner.value} does not exist$"):
                self.tokenizer.get_token_by_id(self.inner)
        return self.value


def test_shared_access_nests_inside_argument_conversion():
    tokenizer = new_tokenizer()
    inner = ReentrantIndex(tokenizer, 5)
    outer = ReentrantIndex(tokenizer, 3, inner)
    with pytest.raises(RuntimeError, match="^the token for id 3 does not exist$"):
        tokenizer.get_token_by_id(outer)
    assert outer.seen == [1, "BpeTokenizer(vocab_size=0)"]
    assert inner.seen == [2, "BpeTokenizer(vocab_size=0)"]
    assert borrow_count(tokenizer) == 0


class FailingIndex:
    def __index__(self):
        raise ValueError("no index today")


@pytest.mark.parametrize(
    "failing_call",
    [
        lambda tokenizer: tokenizer.get_token_by_id(2**32),
        lambda tokenizer: tokenizer.get_token_by_id(-1),
        lambda tokenizer: tokenizer.get_token_by_id("7"),
        lambda tokenizer: tokenizer.get_token_by_id(FailingIndex()),
        lambda tokenizer: tokenizer.get_token_by_id(0),
        lambda tokenizer: tokenizer.get_id_by_token(b"abc"),
        lambda tokenizer: tokenizer.get_id_by_token("\ud800"),
        lambda tokenizer: tokenizer.get_id_by_token("abc"),
        lambda tokenizer: tokenizer.get_id_by_token(),
    ],
)
def test_access_is_released_after_a_failed_call(failing_call):
    tokenizer = new_tokenizer()
    with pytest.raises((TypeError, OverflowError, ValueError, UnicodeEncodeError, RuntimeError)):
        failing_call(tokenizer)
    assert borrow_count(tokenizer) == 0
    assert repr(tokenizer) == "BpeTokenizer(vocab_size=0)"
    with pytest.raises(RuntimeError, match="^the token for id 1 does not exist$"):
        tokenizer.get_token_by_id(1)
