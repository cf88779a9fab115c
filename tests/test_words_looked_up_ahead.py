"""Encoding looks the words of a text up a few at a time, after fetching ahead of them, in a word
cache indexed by a few bits of each word's hash: every text must encode as the literal model
says, cold and warm, whatever the words around a group's edges, the words repeated before their
first occurrence was kept, the special tokens, unseen characters and long words between them,
the growth of the index in a call, colliding hash bits, and threads sharing one tokenizer."""

import random
import threading

import pytest
import wrenmark
from reference import literal_encoding as literal

from helpers import encoding_outputs, train_on_text

_source = random.Random(23)
WORDS = ["".join(_source.choice("abcdeéfg") for _ in range(_source.randint(1, 12))) for _ in range(400)]
CORPUS = " ".join(_source.choice(WORDS) for _ in range(6000)) + " <s> </s>"
SPECIALS = ["<s>", "</s>"]


def words(count, seed=0):
    pick = random.Random(seed)
    return " ".join(pick.choice(WORDS) for _ in range(count))


@pytest.fixture(scope="module")
def model_dir(tmp_path_factory):
    directory = tmp_path_factory.mktemp("ahead")
    train_on_text(directory, CORPUS, 300, special_tokens=SPECIALS, save_model=True,
                  output_dir=str(directory / "model"))
    return directory / "model"


def fresh(model_dir, **settings):
    tokenizer = wrenmark.BpeTokenizer.from_pretrained(str(model_dir))
    for name, value in settings.items():
        setattr(tokenizer, name, value)
    return tokenizer


def literal_outputs(model_dir, text, unknown_token=None):
    model = literal.load_model_directory(model_dir)
    model.unknown_token = unknown_token
    return literal.encode(model, text)


def outputs(encoder):
    return encoder.tokens, encoder.ids, [int(token_type) for token_type in encoder.token_types]


TEXTS = [
    pytest.param("", id="empty"),
    pytest.param("abc", id="one-word"),
    *(pytest.param(words(count, count), id=f"{count}-words") for count in (15, 16, 17, 31, 32, 33, 100)),
    # A word seen first in a group comes again in the same group, before and after its edge.
    pytest.param(" ".join(["gfedcba"] * 40), id="one-new-word-repeated"),
    pytest.param(" ".join(f"{word} {word}" for word in WORDS[:30]), id="each-word-twice"),
    # Special tokens cut the text into segments, each looked up on its own.
    pytest.param(" <s> ".join(words(count, count) for count in (3, 16, 0, 17, 1)) + " </s>", id="specials"),
    pytest.param("<s></s><s>" + words(20) + "</s>", id="adjacent-specials"),
    pytest.param(words(10, 1) + " " + "ab" * 200 + " " + words(10, 2) + " " + "c" * 300, id="long-words"),
    pytest.param(words(15, 3) + " abcdabcdabcdabcd abcdabcdabcdabcda " + words(3, 4), id="around-16-bytes"),
    # Growth of the index in one call: thousands of distinct words, several of them twice.
    pytest.param(" ".join("".join(_source.choice("abcdefg") for _ in range(9)) for _ in range(6000)),
                 id="many-new-words"),
]


@pytest.mark.parametrize("text", TEXTS)
def test_texts_encode_as_the_literal_model_cold_and_warm(model_dir, text):
    expected = literal_outputs(model_dir, text)
    tokenizer = fresh(model_dir)
    assert outputs(tokenizer.encode(text)) == expected
    assert outputs(tokenizer.encode(text)) == expected
    # Warm in another order, then line by line, which cuts the groups elsewhere.
    tokenizer.encode(" ".join(reversed(text.split(" "))))
    assert outputs(tokenizer.encode(text)) == expected
    assert [outputs(tokenizer.encode(line)) for line in text.split(" <s> ")] == [
        literal_outputs(model_dir, line) for line in text.split(" <s> ")]


@pytest.mark.parametrize("place", [0, 7, 15, 16, 17, 40])
def test_an_unseen_character_among_the_words_of_a_group(model_dir, place):
    text_words = words(41, place).split(" ")
    text_words[place] = "ab☃cd"
    text = " ".join(text_words)
    tokenizer = fresh(model_dir, unknown_token="<s>")
    expected = literal_outputs(model_dir, text, unknown_token="<s>")
    assert outputs(tokenizer.encode(text)) == expected
    assert outputs(tokenizer.encode(text)) == expected

    # Without an unknown token the call fails at that word; the words kept before it are whole.
    strict = fresh(model_dir)
    with pytest.raises(RuntimeError, match="the id for token ☃ does not exist"):
        strict.encode(text)
    clean = " ".join(text_words[:place] + text_words[place + 1:])
    assert outputs(strict.encode(clean)) == literal_outputs(model_dir, clean)


def test_many_warm_words_with_colliding_hash_bits_read_their_own_records(model_dir):
    # Far more words than the index has hash bits to tell apart: many share a slot's bits, and
    # each must still find its own record.
    pick = random.Random(31)
    distinct = sorted({"".join(pick.choice("abcdefg") for _ in range(pick.randint(2, 14))) for _ in range(20000)})
    tokenizer = fresh(model_dir)
    cold = [outputs(tokenizer.encode(word)) for word in distinct]
    assert [outputs(tokenizer.encode(word)) for word in distinct] == cold
    pick.shuffle(distinct)
    text = " ".join(distinct[:3000])
    assert outputs(tokenizer.encode(text)) == literal_outputs(model_dir, text)


def test_threads_sharing_a_tokenizer_get_the_results_of_one(model_dir):
    lines = [words(random.Random(index).randint(0, 40), index) for index in range(300)]
    expected = [encoding_outputs(fresh(model_dir).encode(line)) for line in lines]
    tokenizer = fresh(model_dir)
    failures = []

    def run(offset):
        try:
            for round_ in range(3):
                order = lines[offset:] + lines[:offset]
                if round_ == 1:
                    got = [encoding_outputs(encoder) for encoder in tokenizer.encode_batch(order)]
                else:
                    got = [encoding_outputs(tokenizer.encode(line)) for line in order]
                if got != expected[offset:] + expected[:offset]:
                    failures.append(offset)
        except Exception as error:  # noqa: BLE001 - reported by the main thread
            failures.append(error)

    threads = [threading.Thread(target=run, args=(offset,)) for offset in (0, 50, 150, 299)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
