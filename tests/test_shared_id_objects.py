"""The int objects of ids are shared per tokenizer and freed Encoder objects are reused: every
list of ids must still be a fresh list of the right ints, every Encoder must keep its own
tokenizer (and only it) alive, and `encode` must take its argument in every form as before."""

import gc
import pickle
import random
import sys
import threading

import pytest

from helpers import train_on_text

# Enough distinct words for vocabularies past 256, whose ints are not the interpreter's cached
# small ones: a reference counted wrong shows on those only.
_source = random.Random(5)
WORDS = ["".join(_source.choice("abcdefghijklmné😀") for _ in range(_source.randint(2, 8))) for _ in range(600)]
TEXT = " ".join(_source.choice(WORDS) for _ in range(6000))
LINES = [" ".join(_source.choice(WORDS) for _ in range(_source.randint(0, 9))) for _ in range(240)]


@pytest.fixture(scope="module")
def tokenizers(tmp_path_factory):
    return [train_on_text(tmp_path_factory.mktemp(f"ids{target}"), TEXT, target) for target in (400, 520)]


def test_each_read_of_ids_is_a_fresh_list_of_the_buffers_ints(tokenizers):
    encoder = tokenizers[0].encode(" ".join(LINES[:5]))
    assert max(encoder.ids) > 300
    first = encoder.ids
    assert first is not encoder.ids
    assert first == list(encoder.ids_buffer)
    assert all(type(id_) is int for id_ in first)
    first[0] = 10**6
    first.append(-1)
    assert encoder.ids == list(encoder.ids_buffer)


def test_ids_of_many_encodings_match_the_id_lookup(tokenizers):
    for tokenizer in tokenizers:
        for line in LINES[:20]:
            encoder = tokenizer.encode(line)
            assert encoder.ids == [tokenizer.get_id_by_token(token) for token in encoder.tokens]


def test_an_encoder_outlives_its_tokenizer_and_reads_the_same_ids(tmp_path):
    tokenizer = train_on_text(tmp_path, TEXT, 450)
    expected = [tokenizer.encode(line).ids for line in LINES[:6]]
    encoders = [tokenizer.encode(line) for line in LINES[:6]]
    batch = tokenizer.encode_batch(LINES[:6])
    del tokenizer
    gc.collect()
    assert [encoder.ids for encoder in encoders] == expected
    assert [encoder.ids for encoder in batch] == expected


@pytest.mark.parametrize("make", ["encode", "encode_batch"])
def test_a_reused_encoder_object_holds_only_its_new_tokenizer(tokenizers, make):
    first, second = tokenizers
    before = sys.getrefcount(first), sys.getrefcount(second)

    def encodings(tokenizer, count):
        if make == "encode":
            return [tokenizer.encode(LINES[index % len(LINES)]) for index in range(count)]
        return tokenizer.encode_batch(LINES[:count])

    dropped = encodings(first, 200)
    del dropped
    kept = encodings(second, 150)
    assert sys.getrefcount(first) == before[0]
    assert sys.getrefcount(second) == before[1] + 150
    assert [encoder.ids for encoder in kept] == [second.encode(line).ids for line in LINES[:150]]
    assert [encoder.original_text for encoder in kept] == LINES[:150]
    del kept
    assert sys.getrefcount(second) == before[1]


def test_an_unpickled_encoder_without_tokenizer_reads_its_ids(tokenizers):
    encoder = tokenizers[1].encode(LINES[2])
    restored = pickle.loads(pickle.dumps(encoder))
    del encoder
    assert restored.ids == tokenizers[1].encode(LINES[2]).ids


def test_threads_reading_ids_of_one_tokenizer_get_the_serial_results(tmp_path, frequent_thread_switches):
    tokenizer = train_on_text(tmp_path, TEXT, 480)
    expected = [tokenizer.encode(line).ids for line in LINES]
    (tmp_path / "fresh").mkdir()
    fresh = train_on_text(tmp_path / "fresh", TEXT, 480)
    results = {}

    def work(name):
        results[name] = [fresh.encode(line).ids for line in LINES] + [e.ids for e in fresh.encode_batch(LINES)]

    threads = [threading.Thread(target=work, args=(index,)) for index in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert all(result == expected * 2 for result in results.values())


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda t: t.encode(), "BpeTokenizer.encode() missing required argument 'text' (pos 1)"),
        (lambda t: t.encode("a", "b"), "BpeTokenizer.encode() takes at most 1 argument (2 given)"),
        (lambda t: t.encode("a", text="a"), "BpeTokenizer.encode() takes at most 1 argument (2 given)"),
        (lambda t: t.encode("a", idz=1), "BpeTokenizer.encode() got an unexpected keyword argument 'idz'"),
        (lambda t: t.encode(text=1), "argument 'text': 'int' object cannot be converted to 'PyString'"),
        (lambda t: type(t).encode(t, "a", "b"), "BpeTokenizer.encode() takes at most 1 argument (2 given)"),
    ],
)
def test_encode_arguments_in_other_forms_keep_the_parsers_messages(tokenizers, call, message):
    with pytest.raises(TypeError) as raised:
        call(tokenizers[0])
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "call",
    [
        lambda t: t.encode(text=LINES[1]),
        lambda t: type(t).encode(t, LINES[1]),
        lambda t: type(t).encode(t, text=LINES[1]),
        lambda t: t.encode(*[LINES[1]]),
        lambda t: t.encode(**{"text": LINES[1]}),
    ],
)
def test_encode_by_keyword_or_unbound_equals_the_positional_call(tokenizers, call):
    assert call(tokenizers[0]).ids == tokenizers[0].encode(LINES[1]).ids
