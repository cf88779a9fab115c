"""Faults found by fuzzing and by the sanitizer build, each kept as the smallest input that showed it."""

import pytest

from helpers import train_on_text, vocabulary
from reference.literal_training import train_text


@pytest.mark.parametrize(
    "text, special_tokens",
    [
        # The matcher library missed the NULs before the run of O's ended at these lengths when
        # it matched a NUL-holding pattern together with another one.
        ("O" * 70 + "\x002\x00<s\x00\x00", ["\x00", "@bs> aaa"]),
        ("O" * 64 + "\x002\x00<s\x00\x00", ["O\x00", "@bs> aaa"]),
        ("O" * 76 + "\x002\x00<s\x00\x00\x00\x00\x00\x00\x00;</\x14\x00a\x00b -\x00\x00",
         ["\x00", "@bs> aaa<s>bbba/ s<>b</w></w>/s>"]),
        # Overlapping occurrences of a NUL-holding token: the one that ends first is removed.
        ("a\x00\x00\x00b " * 3, ["\x00\x00", "zz"]),
        ("x\x00y\x00\x00y", ["\x00y", "y\x00", "\x00"]),
    ],
)
def test_one_pass_removal_finds_every_token_that_holds_a_nul_byte(tmp_path, text, special_tokens):
    tokenizer = train_on_text(tmp_path, text, 500, "punctuation", special_tokens, "aho_corasick")
    expected = train_text(text, 500, "punctuation", special_tokens, "aho_corasick")
    assert vocabulary(tokenizer) == expected.id_to_token
