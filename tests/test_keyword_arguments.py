"""Keyword arguments that a method does not take are named first, as the interpreter names them."""

import pytest
from wrenmark import BpeTokenizer, PreTokenization, SpecialTokenRemovalMethod

from helpers import train_on_text


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    return train_on_text(tmp_path_factory.mktemp("keywords"), "low lower lowest\n", 20)


def untrained():
    return BpeTokenizer("corpus.txt", 10, PreTokenization.whitespace())


def unexpected(function, key):
    return f"{function}() got an unexpected keyword argument '{key}'"


@pytest.mark.parametrize(
    "call, message",
    [
        # Nothing else given: the unknown keyword comes before the missing arguments.
        (lambda t: BpeTokenizer(idz=1), unexpected("BpeTokenizer.__new__", "idz")),
        (lambda t: t.encode(idz="low"), unexpected("BpeTokenizer.encode", "idz")),
        (lambda t: t.decode(idz=[]), unexpected("BpeTokenizer.decode", "idz")),
        (lambda t: t.get_id_by_token(idz="low"), unexpected("BpeTokenizer.get_id_by_token", "idz")),
        (lambda t: t.get_token_by_id(idz=0), unexpected("BpeTokenizer.get_token_by_id", "idz")),
        (lambda t: BpeTokenizer.from_pretrained(idz="model"), unexpected("BpeTokenizer.from_pretrained", "idz")),
        (lambda t: t.encode("low").get_token_type(idz="low"), unexpected("Encoder.get_token_type", "idz")),
        # Every argument given as well.
        (lambda t: BpeTokenizer("c", 10, PreTokenization.whitespace(), vocab_size=10),
         unexpected("BpeTokenizer.__new__", "vocab_size")),
        (lambda t: t.decode([0], idz=[]), unexpected("BpeTokenizer.decode", "idz")),
        (lambda t: t.get_token_by_id(id=0, token="low"), unexpected("BpeTokenizer.get_token_by_id", "token")),
        # Several unknown keywords: the first one given is named.
        (lambda t: t.decode(b=1, a=2), unexpected("BpeTokenizer.decode", "b")),
        (lambda t: BpeTokenizer(input_path="c", zz=1, aa=2), unexpected("BpeTokenizer.__new__", "zz")),
        # Methods without parameters keep the interpreter's own message.
        (lambda t: t.train(idz=1), "BpeTokenizer.train() takes no keyword arguments"),
        (lambda t: PreTokenization.whitespace(idz=1), "PreTokenization.whitespace() takes no keyword arguments"),
        (lambda t: SpecialTokenRemovalMethod.simple(idz=1), "SpecialTokenRemovalMethod.simple() takes no keyword arguments"),
    ],
)
def test_an_unexpected_keyword_is_named_before_any_missing_argument(trained, call, message):
    with pytest.raises(TypeError) as raised:
        call(trained)
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: untrained().decode(), "BpeTokenizer.decode() missing required argument 'ids' (pos 1)"),
        (lambda: untrained().decode([], ids=[]), "BpeTokenizer.decode() takes at most 1 argument (2 given)"),
    ],
)
def test_known_keywords_keep_the_parsers_messages(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value) == message


def test_an_unexpected_keyword_on_an_untrained_tokenizer_is_a_type_error_not_a_training_error():
    with pytest.raises(TypeError, match="unexpected keyword argument 'idz'"):
        untrained().encode(idz="low")
