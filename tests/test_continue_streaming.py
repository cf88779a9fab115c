"""continue_training from an iterable: the items are counted as they come, chunk by chunk, with the
interpreter lock let go while a chunk is counted and no file written; the result is that of the
items joined in a file wherever the chunk ends fall, and a fault or Ctrl-C in the middle of the
stream leaves the old tokenizer as it was."""

import os
import signal
import threading

import pytest
import wrenmark.wrenmark as extension
from helpers import ticks_while_counting
from reference.literal_training import AHO_CORASICK, PUNCTUATION, SIMPLE, WHITESPACE
from test_continue_training import make_tokenizer, saved_files

CHUNK_SIZES = [1, 7, 0]  # bytes per chunk; 0: the default


@pytest.fixture
def chunk_bytes():
    yield extension._set_training_block_bytes
    extension._set_training_block_bytes(0)


@pytest.fixture
def empty_tmpdir(tmp_path, monkeypatch):
    """$TMPDIR, which stays empty while the items are pulled."""
    directory = tmp_path / "tmpdir"
    directory.mkdir()
    monkeypatch.setenv("TMPDIR", str(directory))
    return directory


# name: (the items, settings of the old tokenizer)
STREAMS = {
    "words": (["low lower", "lowest", "newer wider low"], {}),
    "empty_items": (["", "low", "", "", "new"], {}),
    "line_feeds_inside": (["low\nlower\n", "\n\nlowest", "\n"], {}),
    "multi_byte": (["naïve café", "日本語 日本", "😀😀 low"], {}),
    "long_word": (["x" * 300, "lo " + "x" * 300], {}),
    "token_across_items": (["wor", "ld lo", "w"], {"special_tokens": ["r\nld", "o\nw"]}),
    "token_across_items_aho": (["wor", "ld lo", "w"], {"special_tokens": ["r\nld", "o\nw"], "removal": AHO_CORASICK}),
    "punctuation_classic": (["a,b.c low", "d!e,low"], {"pre_tokenization": PUNCTUATION, "classic": True}),
}


@pytest.mark.parametrize("chunk", CHUNK_SIZES)
@pytest.mark.parametrize("name", sorted(STREAMS))
def test_items_continue_as_the_joined_text_in_a_file(tmp_path, chunk_bytes, empty_tmpdir, name, chunk):
    items, settings = STREAMS[name]
    corpus = tmp_path / "corpus.txt"
    corpus.write_text("low lower newer wor ld", encoding="utf-8")
    start = make_tokenizer(corpus, 14, **settings)
    start.train()
    joined = tmp_path / "joined.txt"
    joined.write_text("\n".join(items), encoding="utf-8")
    expected = saved_files(start.continue_training(str(joined), 45), tmp_path / "expected")

    def pulled():
        for item in items:
            assert list(empty_tmpdir.iterdir()) == []
            yield item

    chunk_bytes(chunk)
    assert saved_files(start.continue_training(pulled(), 45), tmp_path / "actual") == expected


# name: (the items after many good ones, the exception, the words of its message)
FAULTS = {
    "non-str": ([3], TypeError, "item 4000 must be a str, not 'int'"),
    "list": ([["low"]], TypeError, "item 4000 must be a str, not 'list'"),
    "lone surrogate": (["\udc80"], UnicodeEncodeError, "(?s)surrogates not allowed.*item 4000"),
}


@pytest.mark.parametrize("chunk", [1, 0])
@pytest.mark.parametrize("name", sorted(FAULTS))
def test_a_fault_after_counted_chunks_leaves_the_old_tokenizer_as_it_was(tmp_path, chunk_bytes, name, chunk):
    tail, exception, message = FAULTS[name]
    corpus = tmp_path / "corpus.txt"
    corpus.write_text("low lower", encoding="utf-8")
    start = make_tokenizer(corpus, 8)
    start.train()
    before = saved_files(start, tmp_path / "before")
    chunk_bytes(chunk)
    with pytest.raises(exception, match=message):
        start.continue_training([f"word{i} low" for i in range(4000)] + tail, 40)
    assert saved_files(start, tmp_path / "after") == before
    assert start.continue_training(["low lowest"], 12).vocab_size == 12


def test_ctrl_c_while_chunks_are_counted_stops_continuing(tmp_path, chunk_bytes, sigint_raises):
    """With chunks of a byte nearly all the time goes to counting with the lock let go, so the
    signal lands there or between chunks; either way continuing stops."""
    corpus = tmp_path / "corpus.txt"
    corpus.write_text("low lower", encoding="utf-8")
    start = make_tokenizer(corpus, 8)
    start.train()
    before = saved_files(start, tmp_path / "before")
    chunk_bytes(1)
    texts = [f"word{i % 5000} other{i % 77}" for i in range(400_000)]
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            start.continue_training(texts, 60)
    finally:
        timer.cancel()
    assert saved_files(start, tmp_path / "after") == before


def test_another_thread_runs_while_the_items_are_counted(tmp_path, chunk_bytes):
    """With a long switch interval this thread keeps the interpreter lock while it runs Python
    code; the ticker gets its turns only while counting lets the lock go."""
    corpus = tmp_path / "corpus.txt"
    corpus.write_text("w1x1 w2x2", encoding="utf-8")
    start = make_tokenizer(corpus, 8, pre_tokenization=WHITESPACE, removal=SIMPLE)
    start.train()
    chunk_bytes(16 << 20)  # all the text in the last chunk, counted once the iterator has ended
    texts = [" ".join(f"w{i}x{j}" for j in range(200)) for i in range(2000)]
    assert ticks_while_counting(lambda items: start.continue_training(items, 20), texts) > 0
