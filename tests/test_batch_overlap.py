"""Batches large enough for many pieces, whose Encoder objects are made on the calling thread while
the pool still encodes: the first failing index decides, concurrent callers get their own results,
and the objects outlive the batch and the tokenizer."""

import gc
import random
import sys
import threading

import pytest

from helpers import train_on_text
from test_encoding import UNSEEN_CHARACTER

LINE_COUNT = 12_000  # about 500 KB: pieces of tens of KB, so dozens of them


def make_tokenizer_and_lines(directory):
    rng = random.Random(11)
    words = ["".join(rng.choice("abcdefghijkl") for _ in range(rng.randint(1, 10))) for _ in range(4000)]
    corpus = " ".join(rng.choice(words) for _ in range(50_000))
    tokenizer = train_on_text(directory, corpus, 500)
    lines = [" ".join(rng.choice(words) for _ in range(rng.randint(0, 12))) for _ in range(LINE_COUNT)]
    return tokenizer, lines


@pytest.fixture(scope="module")
def tokenizer_and_lines(tmp_path_factory):
    return make_tokenizer_and_lines(tmp_path_factory.mktemp("overlap"))


def fields(encoder):
    return encoder.ids, encoder.tokens, encoder.offsets


@pytest.mark.parametrize("failing", [
    [0],
    [1],
    [LINE_COUNT // 2],
    [LINE_COUNT - 1],
    [LINE_COUNT - 1, LINE_COUNT // 3, LINE_COUNT // 2],
    list(range(LINE_COUNT // 4, LINE_COUNT, 500)),
])
def test_the_lowest_failing_index_decides_and_the_next_batch_is_whole(tokenizer_and_lines, failing):
    tokenizer, lines = tokenizer_and_lines
    texts = list(lines)
    for index in failing:
        texts[index] = "abc " + UNSEEN_CHARACTER
    with pytest.raises(RuntimeError) as raised:
        tokenizer.encode_batch(texts)
    assert str(raised.value) == f"text {min(failing)}: the id for token {UNSEEN_CHARACTER} does not exist"
    batch = tokenizer.encode_batch(lines)
    assert [encoder.ids for encoder in batch] == [tokenizer.encode(line).ids for line in lines]


def test_concurrent_batches_on_one_tokenizer_outlive_it(tmp_path):
    tokenizer, lines = make_tokenizer_and_lines(tmp_path)
    expected = [fields(tokenizer.encode(line)) for line in lines]
    # Each caller takes its own slice, sizes from one piece to the whole, some with a failure.
    jobs = [(0, LINE_COUNT, None), (100, 900, None), (3000, 11_000, 7000), (0, 40, None), (5, LINE_COUNT, 6)]
    held = {"tokenizer": tokenizer}
    results = {}
    errors = []

    def run(caller):
        for round_ in range(3):
            first, end, failing = jobs[(caller + round_) % len(jobs)]
            texts = lines[first:end]
            if failing is not None:
                texts = list(texts)
                texts[failing - first] = UNSEEN_CHARACTER
            try:
                batch = held["tokenizer"].encode_batch(texts)
            except RuntimeError as error:
                if str(error) != f"text {failing - first}: the id for token {UNSEEN_CHARACTER} does not exist":
                    errors.append(str(error))
                continue
            if failing is not None:
                errors.append(f"no failure at {failing}")
            results[(caller, round_)] = (first, batch)

    threads = [threading.Thread(target=run, args=(caller,)) for caller in range(5)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    del tokenizer
    held.clear()
    gc.collect()
    for (first, batch) in results.values():
        for offset in range(0, len(batch), 37):
            assert fields(batch[offset]) == expected[first + offset], first + offset


class NotedText(str):
    deleted = 0

    def __del__(self):
        NotedText.deleted += 1


def test_a_list_emptied_during_its_batch_leaves_the_texts_to_the_batch(tokenizer_and_lines, monkeypatch):
    # With the list cleared by another thread as soon as the batch lets the lock go, its texts
    # are freed (a str subclass's __del__ runs) while the pool still encodes them: the batch must
    # read its own copy of them, or a freed text shows as wrong ids (or under the sanitizers).
    tokenizer, lines = tokenizer_and_lines
    expected = [encoder.ids for encoder in tokenizer.encode_batch(lines)]
    texts = [NotedText(line) if index % 7 == 0 else "".join([line, "."])[:-1] for index, line in enumerate(lines)]
    monkeypatch.setattr(NotedText, "deleted", 0)
    # No switch of threads but where the batch lets the lock go.
    previous = sys.getswitchinterval()
    sys.setswitchinterval(30)
    cleared = threading.Event()
    clearer = threading.Thread(target=lambda: (cleared.wait(), texts.clear()))
    try:
        clearer.start()
        cleared.set()
        batch = tokenizer.encode_batch(texts)
    finally:
        sys.setswitchinterval(previous)
        clearer.join()
    assert texts == []
    assert [encoder.ids for encoder in batch] == expected
    assert NotedText.deleted == len(range(0, LINE_COUNT, 7))
