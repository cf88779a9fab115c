"""Replays every case of tests/robustness_cases.py and checks that docs/robustness.md lists them."""

import ctypes
import sys
from pathlib import Path

import pytest

from robustness_cases import CASES, Case, Context

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "scripts"))

import robustness_table  # noqa: E402


@pytest.fixture(scope="module")
def context(tmp_path_factory):
    return Context(tmp_path_factory.mktemp("robustness"))


def borrow_count(tokenizer):
    return ctypes.c_ssize_t.from_address(id(tokenizer) + object.__basicsize__).value


def check_outcome(case: Case, context: Context):
    if case.raises is None:
        result = case.call(context)
        assert case.check(result), result
        return
    with pytest.raises(BaseException) as raised:
        case.call(context)
    assert type(raised.value).__name__ == case.raises, raised.value
    message = str(raised.value)
    if case.message.endswith("..."):
        assert message.startswith(case.message[:-3])
    else:
        assert message == case.message


@pytest.mark.parametrize("case", CASES, ids=[f"{case.method} {case.bad_input}" for case in CASES])
def test_case_does_what_the_table_says(case, context):
    check_outcome(case, context)
    # The shared tokenizer is free again and still works.
    assert borrow_count(context.trained) == 0
    assert context.trained.encode("low lower").ids == context.encoding.ids
    check_outcome(case, context)


def test_document_lists_every_case():
    document = (ROOT / "docs" / "robustness.md").read_text(encoding="utf-8")
    assert robustness_table.table() in document, "docs/robustness.md is out of date: run scripts/robustness_table.py"
