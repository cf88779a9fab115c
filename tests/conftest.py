import signal
import sys
import tempfile
from pathlib import Path

import pytest

import wrenmark


def pytest_sessionfinish(session, exitstatus):
    """Flushes the module's pending progress text before pytest prints its summary.

    The module writes to file descriptor 1 line by line; a training that ran out of pairs leaves
    its message pending until the next line end, which would otherwise come out at process exit,
    after the summary line. One more training prints a line end.
    """
    with tempfile.TemporaryDirectory() as scratch:
        corpus = Path(scratch) / "flush.txt"
        corpus.write_text("a")
        wrenmark.BpeTokenizer(str(corpus), 0, wrenmark.PreTokenization.whitespace()).train()


@pytest.fixture
def frequent_thread_switches():
    """The interpreter switches threads every 10 microseconds during the test."""
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(previous)


@pytest.fixture
def sigint_raises():
    """SIGINT raises KeyboardInterrupt in this test, also when the suite was started with SIGINT
    ignored (as a shell's background job is), and the handler it found is put back afterwards."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)
