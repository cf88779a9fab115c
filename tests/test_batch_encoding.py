"""encode_batch and decode_batch: equal to the one-at-a-time calls, failures included, and run
without the interpreter lock."""

import gc
import random
import threading
import time

import pytest
import wrenmark

from helpers import train_on_text
from test_encoding import UNSEEN_CHARACTER, random_text, trained_case


def one_at_a_time(call, items, prefix):
    """What a batch call must give: the list of results, or the first failure with its index."""
    results = []
    for index, item in enumerate(items):
        try:
            results.append(call(item))
        except (RuntimeError, TypeError, OverflowError) as error:
            return type(error), f"{prefix} {index}: {error}"
    return results


def batched(call, items):
    try:
        return call(items)
    except (RuntimeError, TypeError, OverflowError) as error:
        return type(error), str(error)


def encoding_fields(encoder):
    return encoder.original_text, encoder.tokens, encoder.ids, [int(kind) for kind in encoder.token_types]


@pytest.mark.parametrize("seed", range(4))
def test_batches_equal_the_one_at_a_time_calls(tmp_path, seed):
    rng = random.Random(seed)
    for case in range(12):
        tokenizer, model, characters, separators, lexicon = trained_case(rng, tmp_path / f"case{case}")
        for unknown_token in [None, *[token for token in model.special_tokens if token][:1]]:
            tokenizer.unknown_token = unknown_token
            texts = [random_text(rng, characters, separators, lexicon, model.special_tokens)
                     for _ in range(rng.randint(0, 40))]
            expected = one_at_a_time(lambda text, tokenizer=tokenizer: encoding_fields(tokenizer.encode(text)), texts, "text")
            actual = batched(tokenizer.encode_batch, texts)
            if isinstance(actual, list):
                actual = [encoding_fields(encoder) for encoder in actual]
            assert actual == expected, f"seed {seed} case {case} unknown token {unknown_token!r}"

        ids_batch = [[rng.randrange(len(model.id_to_token) + 3) for _ in range(rng.randint(0, 12))]
                     for _ in range(rng.randint(0, 40))]
        if ids_batch and rng.random() < 0.3:
            ids_batch[rng.randrange(len(ids_batch))] = rng.choice([[2**32], "ab", 7, [1, "x"]])
        expected = one_at_a_time(tokenizer.decode, ids_batch, "ids")
        assert batched(tokenizer.decode_batch, ids_batch) == expected, f"seed {seed} case {case}"


def test_encodings_outlive_their_batch_their_neighbours_and_the_tokenizer(tmp_path):
    # Batch results share storage; huge texts get storage of their own and make the encoding
    # buffers start afresh. Every kept result must read as it did, whatever went before it.
    tokenizer = train_on_text(tmp_path, "low lower lowest newer wider <s> " * 20, 40, special_tokens=["<s>"])
    texts = ["", "low", "lower newer " * 20_000, "wider <s> " * 120_000, "lowest wider", "<s>"] * 3
    expected = [encoding_fields(tokenizer.encode(text)) for text in texts]
    batch = tokenizer.encode_batch(texts)
    single = [tokenizer.encode(text) for text in texts]
    kept = {index: batch[index] for index in range(0, len(texts), 4)}
    kept.update({-index - 1: single[index] for index in range(1, len(texts), 5)})
    del batch, single, tokenizer
    gc.collect()
    # Reuses the freed memory before the kept results are read.
    (tmp_path / "other").mkdir()
    churn = train_on_text(tmp_path / "other", "newer wider " * 10, 30).encode_batch(["wider newer"] * 5000)
    for index, encoder in kept.items():
        assert encoding_fields(encoder) == expected[index if index >= 0 else -index - 1], index
    assert encoding_fields(churn[-1]) == encoding_fields(churn[0])


@pytest.fixture(scope="module")
def small_tokenizer(tmp_path_factory):
    return train_on_text(tmp_path_factory.mktemp("small"), "low lower lowest newer wider <s>", 30,
                         special_tokens=["<s>"])


@pytest.mark.parametrize("call, argument, exception, message", [
    ("encode_batch", "low", TypeError, "argument 'texts': Can't extract `str` to `Vec`"),
    ("encode_batch", 3, TypeError, "argument 'texts': 'int' object cannot be converted to 'Sequence'"),
    ("encode_batch", ["low", 3], TypeError, "text 1: argument 'text': 'int' object cannot be converted to 'PyString'"),
    ("encode_batch", ["low", "l" + UNSEEN_CHARACTER, UNSEEN_CHARACTER], RuntimeError,
     f"text 1: the id for token {UNSEEN_CHARACTER} does not exist"),
    ("decode_batch", "low", TypeError, "argument 'ids_batch': Can't extract `str` to `Vec`"),
    ("decode_batch", [[1], [2**32]], OverflowError, "ids 1: out of range integral type conversion attempted"),
    ("decode_batch", [[1], [-1]], OverflowError, None),
    ("decode_batch", [(1, 2), "ab"], TypeError, "ids 1: argument 'ids': Can't extract `str` to `Vec`"),
])
def test_batch_argument_and_element_failures(small_tokenizer, call, argument, exception, message):
    with pytest.raises(exception) as raised:
        getattr(small_tokenizer, call)(argument)
    if message is None:
        assert str(raised.value).startswith("ids 1: ")
    else:
        assert str(raised.value) == message


def test_a_text_that_cannot_be_utf8_is_named_in_a_note(small_tokenizer):
    with pytest.raises(UnicodeEncodeError) as raised:
        small_tokenizer.encode_batch(["low", "\ud800"])
    assert raised.value.__notes__ == ["text 1"]


@pytest.mark.parametrize("call, argument, message", [
    ("encode_batch", ["a"], "text 0: Cannot encode text without training the tokenizer"),
    ("decode_batch", [[0]], "ids 0: Cannot decode text without training the tokenizer"),
])
def test_untrained_tokenizer_refuses_a_batch_but_not_an_empty_one(tmp_path, call, argument, message):
    tokenizer = wrenmark.BpeTokenizer(str(tmp_path / "none.txt"), 10, wrenmark.PreTokenization.whitespace())
    assert getattr(tokenizer, call)([]) == []
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        getattr(tokenizer, call)(argument)


@pytest.fixture(scope="module")
def large_batch(tmp_path_factory):
    """A tokenizer and a batch that takes it at least a tenth of a second to encode."""
    rng = random.Random(7)
    words = ["".join(rng.choice("abcdefghij") for _ in range(rng.randint(2, 9))) for _ in range(3000)]
    corpus = " ".join(rng.choice(words) for _ in range(60000))
    tokenizer = train_on_text(tmp_path_factory.mktemp("large"), corpus, 600)
    texts = [" ".join(rng.choice(words) for _ in range(12)) for _ in range(5000)]
    while True:
        start = time.perf_counter()
        tokenizer.encode_batch(texts)
        if time.perf_counter() - start >= 0.1:
            return tokenizer, texts
        texts = texts * 2


def test_other_python_threads_run_during_a_batch(large_batch):
    tokenizer, texts = large_batch
    running = True
    seen = []
    borrow_errors = []

    def count_and_meddle():
        count = 0
        while running:
            count += 1
            if count % 200 == 0:
                seen.append(time.perf_counter())
                try:
                    tokenizer.train()
                except RuntimeError as error:
                    borrow_errors.append(str(error))

    thread = threading.Thread(target=count_and_meddle)
    thread.start()
    while not seen:
        time.sleep(0.001)
    # Holding the lock, the call would leave the thread no moment inside it at all; on a busy
    # machine the thread may still get no processor for a while, so a few calls are allowed.
    inside = []
    for _ in range(5):
        start = time.perf_counter()
        encoders = tokenizer.encode_batch(texts)
        end = time.perf_counter()
        inside = [moment for moment in list(seen) if start + 0.005 < moment < end - 0.001]
        if inside:
            break
    running = False
    thread.join()

    assert inside, "the counting thread did not run during any of the calls"
    assert "Already borrowed" in borrow_errors
    assert set(borrow_errors) <= {"Already borrowed", "Cannot train a pretrained model"}
    assert [encoder.ids for encoder in encoders[:50]] == [tokenizer.encode(text).ids for text in texts[:50]]
