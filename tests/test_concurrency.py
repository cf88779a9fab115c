"""Python threads sharing one tokenizer.

Every call holds the interpreter lock throughout, except while converting an argument runs Python
code that lets go of it (a sequence or an __index__ that sleeps or waits). Only there can another
thread get in while a call holds the tokenizer; it then meets the borrow counter. These tests make
that happen, on purpose and at random, and check that nothing crashes, that every failure is one
of the expected RuntimeErrors, and that the model ends up exactly as a lone thread would make it.
"""

import threading
import time

import pytest

from helpers import vocabulary
from wrenmark import BpeTokenizer, PreTokenization

CORPUS = "low lower lowest new newer newest wide wider widest <s> the the </s>\n" * 50
TEXT = "<s>the lowest newer wide</s> low"
ALLOWED_TRAIN_ERRORS = {"Already borrowed", "Cannot train a pretrained model"}


@pytest.fixture
def corpus(tmp_path):
    path = tmp_path / "corpus.txt"
    path.write_text(CORPUS, encoding="utf-8")
    return str(path)


def new_tokenizer(corpus):
    return BpeTokenizer(corpus, 80, PreTokenization.whitespace(), ["<s>", "</s>"])


@pytest.fixture
def reference(corpus):
    tokenizer = new_tokenizer(corpus)
    tokenizer.train()
    return tokenizer


# Threads switch far more often than by default, so that races show.
pytestmark = pytest.mark.usefixtures("frequent_thread_switches")


class SleepingIds:
    """A sequence of ids whose iteration lets go of the interpreter lock at every element."""

    def __init__(self, ids):
        self.ids = ids

    def __len__(self):
        return len(self.ids)

    def __getitem__(self, index):
        time.sleep(0)
        return self.ids[index]


class WaitingIndex:
    """An id whose conversion signals that it has started and then waits to be let go."""

    def __init__(self, value):
        self.value = value
        self.inside = threading.Event()
        self.go = threading.Event()

    def __index__(self):
        self.inside.set()
        assert self.go.wait(10)
        return self.value


def run_in_thread(call):
    outcome = {}

    def body():
        try:
            outcome["result"] = call()
        except BaseException as error:  # noqa: BLE001 - handed to the test
            outcome["error"] = error

    thread = threading.Thread(target=body)
    thread.start()
    return thread, outcome


def test_train_is_refused_while_another_thread_converts_an_argument(corpus, reference):
    tokenizer = new_tokenizer(corpus)
    waiting = WaitingIndex(0)
    thread, outcome = run_in_thread(lambda: tokenizer.get_token_by_id(waiting))
    assert waiting.inside.wait(10)

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        tokenizer.train()
    # Readers share the tokenizer with the waiting call.
    assert repr(tokenizer) == "BpeTokenizer(vocab_size=0)"
    with pytest.raises(RuntimeError, match="^the id for token low does not exist$"):
        tokenizer.get_id_by_token("low")

    waiting.go.set()
    thread.join(10)
    assert str(outcome["error"]) == "the token for id 0 does not exist"
    tokenizer.train()
    assert vocabulary(tokenizer) == vocabulary(reference)


def test_train_is_refused_while_another_thread_decodes_a_slow_sequence(reference):
    waiting = WaitingIndex(3)
    ids = [0, waiting, 1]
    thread, outcome = run_in_thread(lambda: reference.decode(ids))
    assert waiting.inside.wait(10)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        reference.train()
    assert reference.encode(TEXT).ids  # a reader gets in beside the other reader
    waiting.go.set()
    thread.join(10)
    assert outcome["result"] == reference.decode([0, 3, 1])


def hammer(workers, seconds=1.0):
    """Runs every worker in its own thread until the time is up; returns their exceptions."""
    stop = threading.Event()
    errors = []

    def loop(work):
        try:
            while not stop.is_set():
                work()
        except BaseException as error:  # noqa: BLE001
            errors.append(error)

    threads = [threading.Thread(target=loop, args=(work,)) for work in workers]
    for thread in threads:
        thread.start()
    time.sleep(seconds)
    stop.set()
    for thread in threads:
        thread.join(30)
        assert not thread.is_alive()
    return errors


def test_readers_and_a_trainer_on_one_trained_tokenizer(corpus, reference):
    shared = new_tokenizer(corpus)
    shared.train()
    expected = reference.encode(TEXT)
    expected_text = reference.decode(expected.ids)
    refusals = []

    def read():
        encoding = shared.encode(TEXT)
        assert (encoding.tokens, encoding.ids, encoding.token_types) == \
            (expected.tokens, expected.ids, expected.token_types)
        assert shared.decode(SleepingIds(expected.ids)) == expected_text
        assert shared.get_token_by_id(expected.ids[1]) == expected.tokens[1]

    def train():
        try:
            shared.train()
        except RuntimeError as error:
            assert str(error) in ALLOWED_TRAIN_ERRORS, error
            refusals.append(str(error))
        other = new_tokenizer(corpus)  # training another tokenizer meanwhile is fine
        other.train()
        time.sleep(0)

    assert hammer([read, read, read, train]) == []
    assert set(refusals) <= ALLOWED_TRAIN_ERRORS and refusals
    assert vocabulary(shared) == vocabulary(reference)


def test_trainers_and_readers_on_one_untrained_tokenizer(corpus, reference):
    for _ in range(5):
        shared = new_tokenizer(corpus)
        trained = []
        expected = reference.encode(TEXT).ids

        def train():
            try:
                shared.train()
                trained.append(True)
            except RuntimeError as error:
                assert str(error) in ALLOWED_TRAIN_ERRORS, error
            time.sleep(0)

        def read():
            try:
                assert shared.encode(TEXT).ids == expected
            except RuntimeError as error:
                assert str(error) == "Cannot encode text without training the tokenizer"
            try:
                shared.decode(SleepingIds([0, 1, 2]))
            except RuntimeError as error:
                assert str(error) == "Cannot decode text without training the tokenizer"

        assert hammer([train, train, read, read], seconds=0.3) == []
        assert trained == [True]
        assert vocabulary(shared) == vocabulary(reference)
