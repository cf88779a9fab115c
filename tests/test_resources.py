"""Every method, called many times on success and on each of its error paths, keeps its memory:
neither Python's allocated blocks, nor the C heap in use, nor the resident set grow, and the
tokenizer's borrow counter is free after every call.

WRENMARK_RESOURCE_ITERATIONS sets the number of calls per method (default 20,000). Under the
sanitizer build the memory of freed blocks is held back on purpose, so there only the calls and the
borrow counter are checked, with a tenth of the calls.
"""

import ctypes
import gc
import os
import sys

import pytest

from robustness_cases import CASES, Context, fresh_train
from test_robustness import borrow_count
from wrenmark import BpeTokenizer, PreTokenization, SpecialTokenRemovalMethod, TokenType

SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
ITERATIONS = int(os.environ.get("WRENMARK_RESOURCE_ITERATIONS", "20000")) // (10 if SANITIZED else 1)
WARM_UP = max(200, ITERATIONS // 10)
# The calls of a method go round its paths, so a leak of one Python object or one C allocation
# (16 bytes at least) in a single path shows as at least `calls per path` blocks or 16 bytes
# times that. Quiet runs grow by a few blocks and a few hundred bytes.
MAX_RSS_GROWTH = 16 * 2**20


class MallocInfo(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


libc = ctypes.CDLL(None)
libc.mallinfo2.restype = MallocInfo


def heap_in_use() -> int:
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def success_calls(c: Context):
    return {
        "BpeTokenizer(...)": lambda: c.tokenizer(special_tokens=["<s>", "</s>", "<pad>"], aho_corasick=True,
                                                 save_model=True, output_dir="model"),
        "train()": lambda: fresh_train(c, target=40),
        "get_token_by_id(id)": lambda: c.trained.get_token_by_id(3),
        "get_id_by_token(token)": lambda: c.trained.get_id_by_token("low"),
        "encode(text)": lambda: c.trained.encode("<s>low lower newest</s> the wide"),
        "decode(ids)": lambda: c.trained.decode(c.encoding.ids * 3),
        "Encoder.get_token_type(token)": lambda: c.encoding.get_token_type(c.encoding.tokens[-1]),
        "from_pretrained(files_path)": lambda: BpeTokenizer.from_pretrained(str(c.model)),
        "merge_all_occurrences": lambda: (setattr(c.trained, "merge_all_occurrences", True),
                                          c.trained.merge_all_occurrences,
                                          setattr(c.trained, "merge_all_occurrences", False)),
        "Encoder attributes": lambda: (c.encoding.original_text, c.encoding.tokens, c.encoding.ids,
                                       c.encoding.token_types),
        "repr, TokenType, enumerations": lambda: (
            repr(c.trained), repr(TokenType.WORD), int(TokenType.SUBWORD), TokenType.WORD == 0,
            TokenType.WORD != TokenType.SPECIALTOKEN, PreTokenization.punctuation(),
            SpecialTokenRemovalMethod.aho_corasick()),
    }


def swallowing(case, context):
    def call():
        try:
            case.call(context)
        except BaseException as error:  # noqa: BLE001 - the expected failure of the case
            assert type(error).__name__ == case.raises, error
    return call


@pytest.fixture(scope="module")
def context(tmp_path_factory):
    directory = tmp_path_factory.mktemp("resources")
    previous = os.getcwd()
    os.chdir(directory)  # the constructor's output_dir "model" is relative; nothing is saved there
    try:
        yield Context(directory)
    finally:
        os.chdir(previous)


METHODS = [
    "BpeTokenizer(...)", "train()", "get_token_by_id(id)", "get_id_by_token(token)", "encode(text)", "decode(ids)",
    "Encoder.get_token_type(token)", "from_pretrained(files_path)", "merge_all_occurrences", "Encoder attributes",
    "repr, TokenType, enumerations"]


@pytest.mark.parametrize("method", METHODS)
def test_repeated_calls_keep_their_memory(method, context):
    calls = [success_calls(context)[method]]
    calls += [swallowing(case, context) for case in CASES if case.method == method and case.raises is not None]

    def run(count):
        for index in range(count):
            calls[index % len(calls)]()
            assert borrow_count(context.trained) == 0

    run(WARM_UP)
    gc.collect()
    blocks, heap, resident = sys.getallocatedblocks(), heap_in_use(), resident_bytes()
    run(ITERATIONS)
    gc.collect()
    block_growth = sys.getallocatedblocks() - blocks
    heap_growth = heap_in_use() - heap
    resident_growth = resident_bytes() - resident

    assert context.trained.encode("low lower").ids == context.encoding.ids
    if SANITIZED:
        return
    calls_per_path = ITERATIONS // len(calls)
    assert block_growth < calls_per_path // 4, f"{block_growth} Python blocks more after {ITERATIONS} calls"
    assert heap_growth < calls_per_path * 4, f"{heap_growth} bytes more in use after {ITERATIONS} calls"
    assert resident_growth < MAX_RSS_GROWTH, f"{resident_growth} resident bytes more after {ITERATIONS} calls"


def test_every_method_with_error_paths_is_covered():
    covered = {case.method for case in CASES}
    assert covered <= set(METHODS), covered - set(METHODS)
