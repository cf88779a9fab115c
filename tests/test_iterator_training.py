"""train_from_iterator: the five files of train() on the items joined by line feeds, whatever the
shape of the iterable and wherever the chunk ends fall; faults name their item and leave the
tokenizer untrained and trainable; Ctrl-C and the progress display."""

import os
import random
import signal
import subprocess
import sys
import textwrap
import threading

import pytest
import wrenmark
import wrenmark.wrenmark as extension

from helpers import PRE_TOKENIZATIONS, REMOVAL_METHODS, ticks_while_counting, vocabulary
from test_interrupts import interrupt_in_phase, write_corpus

MODEL_FILES = ["config.json", "merge_rules.json", "pairs_to_merge.json", "save_ranks.json", "token_table.json"]
CHUNK_SIZES = [1, 5, 0]  # bytes per chunk; 0: the default


@pytest.fixture
def chunk_bytes():
    yield extension._set_training_block_bytes
    extension._set_training_block_bytes(0)


def new_tokenizer(tmp_path, name, target=60, tokens=(), method="simple", pre_tokenization="whitespace"):
    return wrenmark.BpeTokenizer(str(tmp_path / "absent.txt"), target, PRE_TOKENIZATIONS[pre_tokenization](),
                                 list(tokens), REMOVAL_METHODS[method](), save_model=True,
                                 output_dir=str(tmp_path / name))


def model_files(directory):
    return {name: (directory / name).read_bytes() for name in MODEL_FILES}


def trained_on_file(tmp_path, text, **settings):
    (tmp_path / "absent.txt").write_bytes(text.encode("utf-8"))
    tokenizer = new_tokenizer(tmp_path, "from_file", **settings)
    tokenizer.train()
    (tmp_path / "absent.txt").unlink()
    return model_files(tmp_path / "from_file")


def random_items(rng, count):
    pieces = ["a", "b", "é", "日", "😀", " ", "\n", "ab", "<s>", "a\nb", "  "]
    return ["".join(rng.choice(pieces) for _ in range(rng.randint(0, 6))) for _ in range(count)]


# name: (the items, how they are handed over, settings)
SHAPES = {
    "list": (["low lower", "lowest", "newer wider"], list, {}),
    "generator": (["low lower", "lowest", "newer wider"], lambda items: (item for item in items), {}),
    "tuple": (["low lower", "lowest"], tuple, {}),
    "empty": ([], list, {}),
    "empty_items": (["", "", "low", "", ""], iter, {}),
    "one_empty_item": ([""], iter, {}),
    "line_feeds_inside": (["low\nlower\n", "\n\nlowest", "\n"], iter, {}),
    "multi_byte": (["naïve café", "日本語 日本", "😀😀 😀"], iter, {}),
    "long_word": (["x" * 300, "y" * 40 + " " + "x" * 300], iter, {}),
    "token_across_items": (["wor", "ld lo", "w"], iter, {"tokens": ["r\nld", "o\nw"]}),
    "token_across_items_aho": (["wor", "ld lo", "w"], iter, {"tokens": ["r\nld", "o\nw"], "method": "aho_corasick"}),
    "every_space_in_tokens": (["a b", "b\ta"], iter, {"tokens": [" \t\n", "b\nb"]}),
    "punctuation": (["a,b.c", "d!e"], iter, {"pre_tokenization": "punctuation"}),
    "random": (random_items(random.Random(7), 60), iter, {"tokens": ["<s>", "a\nb"]}),
}


@pytest.mark.parametrize("chunk", CHUNK_SIZES)
@pytest.mark.parametrize("shape", SHAPES)
def test_items_train_as_the_joined_text_in_a_file(tmp_path, chunk_bytes, shape, chunk):
    items, hand_over, settings = SHAPES[shape]
    chunk_bytes(chunk)
    expected = trained_on_file(tmp_path, "\n".join(items), **settings)
    tokenizer = new_tokenizer(tmp_path, "from_items", **settings)
    tokenizer.train_from_iterator(hand_over(items))
    assert model_files(tmp_path / "from_items") == expected


# Batches (lists or tuples of texts): each text is one item, as if the batches were flattened.
BATCHES = [
    [["low lower", "lowest"], ["newer"]],
    [[], ["low"], [], ["lower", ""]],
    ["low", ["lower", "lowest"], ("newer", "wider"), "x"],
    [["wor"], ["ld lo", "w"]],
]


@pytest.mark.parametrize("chunk", CHUNK_SIZES)
@pytest.mark.parametrize("batches", BATCHES)
def test_batches_train_as_their_texts_one_by_one(tmp_path, chunk_bytes, batches, chunk):
    chunk_bytes(chunk)
    texts = [text for batch in batches for text in ([batch] if isinstance(batch, str) else batch)]
    expected = trained_on_file(tmp_path, "\n".join(texts), tokens=["r\nld"])
    tokenizer = new_tokenizer(tmp_path, "from_batches", tokens=["r\nld"])
    tokenizer.train_from_iterator(iter(batches))
    assert model_files(tmp_path / "from_batches") == expected


def failing_generator():
    yield "low lower"
    raise ValueError("the producer failed")


# iterable, exception, message
BAD_ITERABLES = [
    (["low", 3], TypeError, r"^argument 'iterator': item 1 is a 'int' object, not 'str' or a list of 'str'$"),
    ([b"low"], TypeError, r"item 0 is a 'bytes' object"),
    (["low", ["a", None]], TypeError, r"^argument 'iterator': element 1 of item 1 is a 'NoneType' object, not 'str'$"),
    ([[["nested"]]], TypeError, r"element 0 of item 0 is a 'list' object"),
    (["low", "lo\ud800w"], UnicodeEncodeError, r"position 2: surrogates not allowed \(item 1\)$"),
    ([["low", "\udfff"]], UnicodeEncodeError, r"\(element 1 of item 0\)$"),
    (5, TypeError, r"'int' object is not iterable"),
    (failing_generator, ValueError, r"^the producer failed$"),
]


@pytest.mark.parametrize("chunk", [1, 0])
@pytest.mark.parametrize("iterable, exception, message", BAD_ITERABLES)
def test_a_bad_item_leaves_the_tokenizer_untrained_and_trainable(tmp_path, chunk_bytes, iterable, exception,
                                                                 message, chunk):
    chunk_bytes(chunk)
    tokenizer = new_tokenizer(tmp_path, "model")
    with pytest.raises(exception, match=message):
        tokenizer.train_from_iterator(iterable() if callable(iterable) else iterable)
    assert repr(tokenizer) == "BpeTokenizer(vocab_size=0)"
    assert not (tmp_path / "model").exists()
    tokenizer.train_from_iterator(["low lower", "lowest"])
    assert model_files(tmp_path / "model") == trained_on_file(tmp_path, "low lower\nlowest")


@pytest.mark.parametrize("length, exception", [(-1, OverflowError), ("3", TypeError), (2**64, OverflowError)])
def test_a_bad_length_is_refused_before_any_item_is_read(tmp_path, length, exception):
    items = iter(["low"])
    with pytest.raises(exception):
        new_tokenizer(tmp_path, "model").train_from_iterator(items, length)
    assert next(items) == "low"


def test_a_trained_tokenizer_is_refused_before_any_item_is_read(tmp_path):
    tokenizer = new_tokenizer(tmp_path, "model")
    tokenizer.train_from_iterator(["low lower"])
    items = iter(["newer"])
    with pytest.raises(RuntimeError, match="^Cannot train a pretrained model$"):
        tokenizer.train_from_iterator(items)
    assert next(items) == "newer"


def test_an_interrupt_as_counting_begins_leaves_the_tokenizer_trainable(tmp_path):
    corpus = tmp_path / "corpus.txt"
    write_corpus(corpus)
    lines = corpus.read_text().split(" ")
    tokenizer = new_tokenizer(tmp_path, "model", target=300, tokens=["<s>"])
    tokenizer.show_progress = True
    interrupt_in_phase("counting words", KeyboardInterrupt, lambda: tokenizer.train_from_iterator(lines))
    assert repr(tokenizer) == "BpeTokenizer(vocab_size=0)"
    tokenizer.show_progress = False
    tokenizer.train_from_iterator(lines)
    fresh = wrenmark.BpeTokenizer(str(corpus), 300, wrenmark.PreTokenization.whitespace(), ["<s>"])
    corpus.write_text("\n".join(lines))
    fresh.train()
    assert vocabulary(tokenizer) == vocabulary(fresh)


def test_ctrl_c_while_chunks_are_counted_stops_training(tmp_path, chunk_bytes, sigint_raises):
    """With chunks of a byte, nearly all the time goes to counting with the interpreter lock let go,
    so the signal lands there or between chunks; either way training stops."""
    chunk_bytes(1)
    texts = [f"word{i % 5000} other{i % 77}" for i in range(400_000)]
    tokenizer = new_tokenizer(tmp_path, "model")
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            tokenizer.train_from_iterator(texts)
    finally:
        timer.cancel()
    assert repr(tokenizer) == "BpeTokenizer(vocab_size=0)"
    chunk_bytes(0)
    tokenizer.train_from_iterator(texts[:100])


def test_another_thread_runs_while_the_text_is_counted(tmp_path, chunk_bytes):
    """With a long switch interval, this thread keeps the interpreter lock while it runs Python
    code; the ticker, which sleeps between ticks, gets its turns only while counting lets it go."""
    chunk_bytes(16 << 20)  # all the text in the last chunk, counted once the iterator has ended
    texts = [" ".join(f"w{i}x{j}" for j in range(200)) for i in range(2000)]
    assert ticks_while_counting(new_tokenizer(tmp_path, "model").train_from_iterator, texts) > 0


PROGRESS_SCRIPT = textwrap.dedent("""
    import sys, time, wrenmark
    def items():
        for i in range(64):
            time.sleep(0.02)
            yield "low lower " * 5000
    tokenizer = wrenmark.BpeTokenizer("absent.txt", 30, wrenmark.PreTokenization.whitespace())
    tokenizer.show_progress = True
    tokenizer.train_from_iterator(items(), length=int(sys.argv[1]) if len(sys.argv) > 1 else None)
""")


@pytest.mark.parametrize("length, first_line", [
    (["64"], "wrenmark: counting words [........................]   0% 0 of 64 items"),
    ([], "wrenmark: counting words"),
])
def test_progress_counts_items_and_bytes(length, first_line):
    import pty
    controller, terminal = pty.openpty()
    try:
        result = subprocess.run([sys.executable, "-c", PROGRESS_SCRIPT, *length], stdout=subprocess.PIPE,
                                stderr=terminal, timeout=120)
        os.close(terminal)
        terminal = None
        shown = b""
        while True:
            try:
                chunk = os.read(controller, 65536)
            except OSError:
                break
            if not chunk:
                break
            shown += chunk
    finally:
        os.close(controller)
        if terminal is not None:
            os.close(terminal)
    assert result.returncode == 0
    lines = [line.replace("\x1b[K", "") for line in shown.decode().replace("\r\n", "\r").split("\r") if line]
    counting = [line for line in lines if line.startswith("counting words")]
    assert ("wrenmark: " + counting[0]).startswith(first_line)
    # A later redraw (the display looks every 16 items) shows items and the megabytes they held.
    assert any(" items, " in line and " MB" in line for line in counting[1:]), counting
    if length:
        assert any(" of 64 items, " in line for line in counting[1:]), counting
