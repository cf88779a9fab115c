"""show_progress: a bar redrawn in place on a terminal, plain lines elsewhere, stdout unchanged."""

import os
import pty
import subprocess
import sys
import textwrap

import pytest

SCRIPT = textwrap.dedent("""
    import sys, wrenmark
    tokenizer = wrenmark.BpeTokenizer(sys.argv[1], 30, wrenmark.PreTokenization.whitespace(), ["<s>"])
    tokenizer.show_progress = sys.argv[2] == "on"
    assert tokenizer.show_progress is (sys.argv[2] == "on")
    tokenizer.train()
""")
PHASE_LINES = ["counting words", "counting pairs", "merging"]


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    path = tmp_path_factory.mktemp("progress") / "corpus.txt"
    path.write_text("low lower lowest <s> newer wider " * 2000)
    return path


def run(corpus, setting, stderr=subprocess.PIPE):
    return subprocess.run([sys.executable, "-c", SCRIPT, str(corpus), setting], stdout=subprocess.PIPE,
                          stderr=stderr, timeout=120)


def timing_line_labels(stdout):
    return [line.split(" took time: ")[0] for line in stdout.decode().splitlines()]


def test_on_a_pipe_each_phase_gets_a_plain_line(corpus):
    shown, hidden = run(corpus, "on"), run(corpus, "off")
    assert hidden.stderr == b""
    lines = shown.stderr.decode().splitlines()
    assert all(line.startswith("wrenmark: ") for line in lines)
    assert all(any(line.startswith("wrenmark: " + phase) for phase in PHASE_LINES) for line in lines[:-1])
    assert [phase for phase in PHASE_LINES if any(line.startswith("wrenmark: " + phase) for line in lines)] == \
        PHASE_LINES
    assert lines[-1].startswith("wrenmark: training done in ")
    assert "\r" not in shown.stderr.decode() and "\x1b" not in shown.stderr.decode()
    assert timing_line_labels(shown.stdout) == timing_line_labels(hidden.stdout) == [
        "removing special tokens", "vocab builder", "build initial pair"]


def test_on_a_terminal_one_line_is_redrawn_in_place(corpus):
    controller, terminal = pty.openpty()
    try:
        result = run(corpus, "on", stderr=terminal)
        os.close(terminal)
        terminal = None
        shown = b""
        while True:
            try:
                chunk = os.read(controller, 65536)
            except OSError:  # the terminal side is closed and everything was read
                break
            if not chunk:
                break
            shown += chunk
    finally:
        if terminal is not None:
            os.close(terminal)
        os.close(controller)
    text = shown.decode()
    assert result.returncode == 0
    redraws = text.split("\r")
    assert "wrenmark: " not in text
    for phase in PHASE_LINES:
        assert any(redraw.startswith(phase) and redraw.endswith("\x1b[K") for redraw in redraws), phase
    assert any("[" in redraw and "%" in redraw and " of " in redraw for redraw in redraws)
    # The terminal turns the final line end into \r\n.
    assert redraws[-2].startswith("training done in ") and redraws[-1] == "\n"
