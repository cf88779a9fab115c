"""The timing lines on standard output and the progress line on standard error, on one terminal."""

import os
import pty
import re
import select
import subprocess
import sys
import textwrap

import pytest

# Each argument after the corpus trains a fresh tokenizer to that vocabulary size.
SCRIPT = textwrap.dedent("""
    import sys, wrenmark
    for size in sys.argv[3:]:
        tokenizer = wrenmark.BpeTokenizer(sys.argv[1], int(size), wrenmark.PreTokenization.whitespace(), ["<s>"])
        tokenizer.show_progress = sys.argv[2] == "on"
        tokenizer.train()
""")
ERASE_TO_LINE_END = "\x1b[K"
CLEARED_LINE = b"\r" + ERASE_TO_LINE_END.encode()
DURATION = r"[0-9.]+(ns|µs|ms|s)"
TIMING_ROWS = [rf"removing special tokens took time: {DURATION}", rf"vocab builder took time: {DURATION}",
               rf"build initial pair took time: {DURATION}"]
DONE_ROW = r"training done in \d+:\d\d"
OUT_OF_PAIRS = "targeted vocab size not reached as no more pairs to merge "
ENOUGH_PAIRS, TOO_FEW_PAIRS = "40", "100000"


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    path = tmp_path_factory.mktemp("shared_terminal") / "corpus.txt"
    path.write_text("low lower lowest <s> newer wider " * 2000)
    return path


def run(corpus, progress, sizes, stdout, stderr):
    """Runs the script, stdout and stderr each a "pipe", a "pty" or together the "same pty"; what each carried."""
    if stdout == stderr == "same pty":
        reader, writer = pty.openpty()
        readers, child_ends = {"stdout": reader}, {"stdout": writer, "stderr": writer}
    else:
        readers, child_ends = {}, {}
        for name, kind in (("stdout", stdout), ("stderr", stderr)):
            readers[name], child_ends[name] = os.pipe() if kind == "pipe" else pty.openpty()
    try:
        process = subprocess.Popen([sys.executable, "-c", SCRIPT, str(corpus), progress, *sizes],
                                   stdout=child_ends["stdout"], stderr=child_ends["stderr"])
    finally:
        for writer in set(child_ends.values()):
            os.close(writer)
    received = dict.fromkeys(readers, b"")
    unread = dict(readers)
    try:
        while unread:
            ready, _, _ = select.select(list(unread.values()), [], [], 120)
            assert ready, "the child went quiet"
            for name, reader in list(unread.items()):
                if reader not in ready:
                    continue
                try:
                    chunk = os.read(reader, 65536)
                except OSError:  # a pty whose other side is closed
                    chunk = b""
                if chunk:
                    received[name] += chunk
                else:
                    del unread[name]
    finally:
        for reader in readers.values():
            os.close(reader)
    assert process.wait(timeout=120) == 0
    return received


def screen(output):
    """The rows a terminal shows after `output`: text overwrites, \\r returns, \\n goes down, ESC [K erases."""
    assert set(re.findall("\x1b[^a-zA-Z]*[a-zA-Z]", output)) <= {ERASE_TO_LINE_END}
    rows, row, column = [""], 0, 0
    position = 0
    while position < len(output):
        if output.startswith(ERASE_TO_LINE_END, position):
            rows[row] = rows[row][:column]
            position += len(ERASE_TO_LINE_END)
            continue
        character = output[position]
        if character == "\r":
            column = 0
        elif character == "\n":
            row += 1
            if row == len(rows):
                rows.append("")
        else:
            text = rows[row].ljust(column)
            rows[row] = text[:column] + character + text[column + 1:]
            column += 1
        position += 1
    return rows


@pytest.mark.parametrize(("sizes", "expected_rows"), [
    ([ENOUGH_PAIRS], [*TIMING_ROWS, DONE_ROW, ""]),
    # The message has no line end: it waits for the exit, after the display has closed its line.
    ([TOO_FEW_PAIRS], [*TIMING_ROWS, DONE_ROW, re.escape(OUT_OF_PAIRS)]),
    # ... or for the next line end, which the next training's first timing line brings.
    ([TOO_FEW_PAIRS, ENOUGH_PAIRS],
     [*TIMING_ROWS, DONE_ROW, re.escape(OUT_OF_PAIRS) + TIMING_ROWS[0], *TIMING_ROWS[1:], DONE_ROW, ""]),
], ids=["trains", "runs out of pairs", "runs out of pairs, then trains again"])
def test_on_one_terminal_every_timing_line_keeps_a_row_of_its_own(corpus, sizes, expected_rows):
    rows = screen(run(corpus, "on", sizes, stdout="same pty", stderr="same pty")["stdout"].decode())
    assert len(rows) == len(expected_rows), rows
    for row, expected in zip(rows, expected_rows, strict=True):
        assert re.fullmatch(expected, row), rows


def masked_durations(stdout):
    return re.sub(DURATION.encode(), b"D", stdout)


@pytest.mark.parametrize("stdout", ["pipe", "other pty"])
def test_with_standard_output_elsewhere_its_bytes_and_the_display_are_as_without_sharing(corpus, stdout):
    shown = run(corpus, "on", [TOO_FEW_PAIRS, ENOUGH_PAIRS], stdout=stdout, stderr="pty")
    hidden = run(corpus, "off", [TOO_FEW_PAIRS, ENOUGH_PAIRS], stdout=stdout, stderr="pty")
    assert hidden["stderr"] == b""
    assert CLEARED_LINE not in shown["stderr"]
    assert masked_durations(shown["stdout"]) == masked_durations(hidden["stdout"])
    assert shown["stdout"].count(b"took time: ") == 6
    assert b"\x1b" not in shown["stdout"]
