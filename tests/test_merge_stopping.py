"""Where training stops merging, alike in both merge loops: at the target size, or short of it
when no pair is left, with the out-of-pairs notice written once, after the timing lines and
without a line end."""

import textwrap

import pytest

from helpers import run_python
from reference.literal_training import NO_MORE_PAIRS_MESSAGE


def train_in_child(tmp_path, text, target, classic):
    """(standard output, the tokenizer's repr) of one training in a child interpreter."""
    corpus = tmp_path / "corpus.txt"
    corpus.write_text(text, encoding="utf-8")
    code = textwrap.dedent(f"""
        import sys, wrenmark
        t = wrenmark.BpeTokenizer({str(corpus)!r}, {target}, wrenmark.PreTokenization.whitespace())
        t.merge_all_occurrences = {classic}
        t.train()
        sys.stderr.write(repr(t))
    """)
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    return result.stdout.decode("utf-8"), result.stderr.decode("utf-8")


@pytest.mark.parametrize("text, target, default_size, classic_size", [
    ("low lower low", 9, 9, 9),
    # below the alphabet: no merge
    ("hello", 2, 5, 5),
    # the classic loop has no pair left exactly at the target: it stops there without the notice
    ("ab", 5, 5, 5),
    # the default loop still merges the pair whose count fell to zero
    ("ab", 6, 6, 5),
    ("ab", 100, 6, 5),
    ("", 10, 1, 1),
])
@pytest.mark.parametrize("classic", [False, True], ids=["default", "classic"])
def test_merging_stops_at_the_target_or_when_no_pair_is_left(tmp_path, text, target, default_size, classic_size,
                                                             classic):
    output, tokenizer = train_in_child(tmp_path, text, target, classic)
    size = classic_size if classic else default_size
    assert tokenizer == f"BpeTokenizer(vocab_size={size})"
    short = size < target
    assert output.count(NO_MORE_PAIRS_MESSAGE) == short
    assert output.endswith("\n" + NO_MORE_PAIRS_MESSAGE) == short
    assert output.endswith("\n") != short
