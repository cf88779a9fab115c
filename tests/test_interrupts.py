"""Ctrl-C: train(), encode_batch and decode_batch run pending signal handlers as they go, stop
when one raises, and leave the tokenizer as it was."""

import contextlib
import os
import random
import signal
import subprocess
import sys
import textwrap
import time

import pytest
import wrenmark

from helpers import vocabulary

PHASES = ["counting words", "counting pairs", "merging"]


def write_corpus(path, words=4000, seed=3):
    rng = random.Random(seed)
    lexicon = ["".join(rng.choice("abcdefgh") for _ in range(rng.randint(2, 8))) for _ in range(500)]
    path.write_text(" ".join(rng.choice(lexicon) + rng.choice(["", "<s>"]) for _ in range(words)))


@contextlib.contextmanager
def progress_into_a_broken_pipe():
    """Points file descriptor 2, where the progress display writes, at a pipe without a reader.
    Every write of the display then raises SIGPIPE in the writing thread before the write
    returns: training shows each phase as it begins and checks for signals right after, so a
    SIGPIPE handler runs exactly once at the start of every phase, whatever the timing."""
    reader, writer = os.pipe()
    os.close(reader)
    saved = os.dup(2)
    os.dup2(writer, 2)
    os.close(writer)
    try:
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)


class RaiseInPhase:
    """A SIGPIPE handler that raises `exception` at the start of phase `phase`."""

    def __init__(self, phase, exception):
        self.phase = phase
        self.exception = exception
        self.phases_begun = 0
        self.armed = True

    def __call__(self, signum, frame):
        if not self.armed:
            return
        self.phases_begun += 1
        if PHASES[self.phases_begun - 1] == self.phase:
            self.armed = False
            raise self.exception(self.phase)


def interrupt_in_phase(phase, exception, call, phases_before=0):
    """Runs `call` with `exception` raised by a signal handler as `phase` begins."""
    handler = RaiseInPhase(phase, exception)
    handler.phases_begun = phases_before
    previous = signal.signal(signal.SIGPIPE, handler)
    try:
        with progress_into_a_broken_pipe(), pytest.raises(exception, match=phase):
            call()
    finally:
        handler.armed = False
        signal.signal(signal.SIGPIPE, previous)
    assert handler.phases_begun == PHASES.index(phase) + 1


@pytest.mark.parametrize("phase, exception, classic", [
    *[(phase, KeyboardInterrupt, classic) for phase in PHASES for classic in (False, True)],
    ("counting words", ValueError, False),
])
def test_an_interrupt_in_each_phase_leaves_the_tokenizer_trainable(tmp_path, phase, exception, classic):
    corpus = tmp_path / "corpus.txt"
    write_corpus(corpus)
    tokenizer = wrenmark.BpeTokenizer(str(corpus), 300, wrenmark.PreTokenization.whitespace(), ["<s>"],
                                      save_model=True, output_dir=str(tmp_path / "model"))
    tokenizer.show_progress = True
    tokenizer.merge_all_occurrences = classic
    interrupt_in_phase(phase, exception, tokenizer.train)
    assert repr(tokenizer) == "BpeTokenizer(vocab_size=0)"
    assert not (tmp_path / "model").exists()

    tokenizer.show_progress = False
    tokenizer.train()
    fresh = wrenmark.BpeTokenizer(str(corpus), 300, wrenmark.PreTokenization.whitespace(), ["<s>"])
    fresh.merge_all_occurrences = classic
    fresh.train()
    assert vocabulary(tokenizer) == vocabulary(fresh)
    assert (tmp_path / "model" / "config.json").exists()


@pytest.mark.parametrize("phase", ["counting pairs", "merging"])
@pytest.mark.parametrize("classic", [False, True])
def test_an_interrupt_while_training_from_word_counts_leaves_the_tokenizer_trainable(tmp_path, phase, classic):
    """The local phases of training on a cluster: _train_from_word_counts begins with the pairs."""
    corpus = tmp_path / "corpus.txt"
    write_corpus(corpus)
    extension = sys.modules["wrenmark.wrenmark"]

    def new_tokenizer():
        tokenizer = wrenmark.BpeTokenizer(str(corpus), 300, wrenmark.PreTokenization.whitespace(), ["<s>"],
                                          save_model=True, output_dir=str(tmp_path / "model"))
        tokenizer.merge_all_occurrences = classic
        return tokenizer

    table = extension._count_words(new_tokenizer(), corpus.read_bytes(), 0)
    tokenizer = new_tokenizer()
    tokenizer.show_progress = True
    # No counting here: the first phase is counting pairs.
    interrupt_in_phase(phase, KeyboardInterrupt, lambda: extension._train_from_word_counts(tokenizer, table),
                       phases_before=1)
    assert repr(tokenizer) == "BpeTokenizer(vocab_size=0)"
    assert not (tmp_path / "model").exists()

    tokenizer.show_progress = False
    extension._train_from_word_counts(tokenizer, table)
    fresh = new_tokenizer()
    fresh.train()
    assert vocabulary(tokenizer) == vocabulary(fresh)


@pytest.mark.parametrize("call", ["encode_batch", "decode_batch"])
def test_an_interrupt_stops_a_batch(tmp_path, call):
    corpus = tmp_path / "corpus.txt"
    write_corpus(corpus)
    tokenizer = wrenmark.BpeTokenizer(str(corpus), 300, wrenmark.PreTokenization.whitespace())
    tokenizer.train()
    words = ["abc", "def", "gh", "abcdefgh", "hgf"]
    # Each batch takes several times the alarm's 50 ms, however fast the machine: a decode of
    # 20,000 such lists once finished in 49 ms and left nothing to interrupt.
    batch = [" ".join(words * 40)] * 100_000 if call == "encode_batch" else [list(range(40)) * 5] * 200_000
    calls = []

    def handler(signum, frame):
        calls.append(1)
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(KeyboardInterrupt):
            getattr(tokenizer, call)(batch)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert calls == [1]
    assert getattr(tokenizer, call)(batch[:3]) is not None


def test_sigint_to_a_child_blocked_on_a_slow_corpus(tmp_path):
    """A corpus that is a pipe nobody writes to: reading waits until Ctrl-C."""
    fifo = tmp_path / "corpus.fifo"
    os.mkfifo(fifo)
    script = textwrap.dedent(f"""
        import os, signal, sys, time, wrenmark
        # A shell that starts the suite in the background ignores SIGINT, and children inherit it.
        signal.signal(signal.SIGINT, signal.default_int_handler)
        writer = os.open({str(fifo)!r}, os.O_RDWR)  # keeps the pipe open, writes nothing
        tokenizer = wrenmark.BpeTokenizer({str(fifo)!r}, 50, wrenmark.PreTokenization.whitespace())
        print("training", flush=True)
        try:
            tokenizer.train()
        except KeyboardInterrupt:
            print("interrupted", repr(tokenizer), flush=True)
        os.write(writer, b"low lower lowest")
        # Reading ends once the writer is gone; a handler closes it from inside training.
        signal.signal(signal.SIGALRM, lambda *_: os.close(writer))
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        tokenizer.train()
        print("trained", repr(tokenizer), flush=True)
    """)
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
    try:
        assert child.stdout.readline() == "training\n"
        time.sleep(0.2)
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        assert child.stdout.readline() == "interrupted BpeTokenizer(vocab_size=0)\n"
        assert time.monotonic() - sent < 5
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
    assert child.returncode == 0, err
    assert any(line.startswith("trained BpeTokenizer(vocab_size=") for line in out.splitlines())


def test_sigint_to_a_child_while_it_merges(tmp_path):
    corpus = tmp_path / "corpus.txt"
    rng = random.Random(11)
    corpus.write_text(" ".join("".join(rng.choice("abcdefghijklmnop") for _ in range(rng.randint(3, 12)))
                               for _ in range(80000)))
    script = textwrap.dedent(f"""
        import signal, sys, wrenmark
        signal.signal(signal.SIGINT, signal.default_int_handler)  # as above
        tokenizer = wrenmark.BpeTokenizer({str(corpus)!r}, 1_000_000, wrenmark.PreTokenization.whitespace())
        tokenizer.show_progress = True
        try:
            tokenizer.train()
            print("completed", flush=True)
        except KeyboardInterrupt:
            print("interrupted", repr(tokenizer), flush=True)
    """)
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
    try:
        for line in child.stderr:
            if line.startswith("wrenmark: merging"):
                break
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
    assert out.splitlines()[-1] == "interrupted BpeTokenizer(vocab_size=0)", err
    assert time.monotonic() - sent < 5
