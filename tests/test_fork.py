"""Forked children: the worker pool, and the results of batches, in a child process.

A child has a pool of its own when its parent never started the worker pool, or when the
parent's pool was idle at the fork (the fork shuts it down first). When another thread of the
parent still holds the pool, the child runs its parallel steps on the calling thread, since the
pool's threads did not survive the fork. Either way a batch gives the parent's results, in a
plain os.fork() child and in a multiprocessing pool with the fork start method. Each case runs
in a fresh interpreter, since this test process has long used its pool.
"""

import json
import subprocess
import sys

import pytest

from wrenmark import BpeTokenizer, PreTokenization

CHILD = r"""
import json, multiprocessing, os, sys, threading, warnings
import wrenmark.wrenmark as native
from wrenmark import BpeTokenizer

warnings.simplefilter("ignore", DeprecationWarning)  # fork() of a process with threads
model, lines_path, parent = sys.argv[1], sys.argv[2], sys.argv[3]
with open(lines_path, encoding="utf-8") as file:
    lines = file.read().split("\n")
tokenizer = BpeTokenizer.from_pretrained(model)
expected = [tokenizer.encode(line).ids for line in lines]  # single calls leave the pool unstarted
if parent == "used":
    assert [e.ids for e in tokenizer.encode_batch(lines)] == expected
if parent == "held by a live thread":
    used, finish = threading.Event(), threading.Event()
    def use_and_wait():
        tokenizer.encode_batch(lines)
        used.set()
        finish.wait()
    holder = threading.Thread(target=use_and_wait)
    holder.start()
    used.wait()

def encode_lines(chunk):
    return [e.ids for e in tokenizer.encode_batch(lines[chunk::4])]

report = {"parent pool usable": native._worker_pool_usable()}
read_end, write_end = os.pipe()
child = os.fork()
if child == 0:
    os.close(read_end)
    seen = {"child pool usable": native._worker_pool_usable(),
            "child results equal": [e.ids for e in tokenizer.encode_batch(lines)] == expected,
            "child decodes equal": tokenizer.decode_batch(expected[:50]) == [tokenizer.decode(i) for i in expected[:50]]}
    os.write(write_end, json.dumps(seen).encode())
    os._exit(0)
os.close(write_end)
with os.fdopen(read_end) as pipe:
    report.update(json.loads(pipe.read()))
os.waitpid(child, 0)
if parent == "held by a live thread":
    finish.set()
    holder.join()
with multiprocessing.get_context("fork").Pool(2) as pool:
    chunks = pool.map(encode_lines, range(4))
report["pool results equal"] = all(chunks[c] == expected[c::4] for c in range(4))
report["parent pool usable after"] = native._worker_pool_usable()
print(json.dumps(report))
"""


@pytest.fixture(scope="module")
def model_and_lines(tmp_path_factory):
    directory = tmp_path_factory.mktemp("fork")
    lines = [f"line {i} of the lowest newer widest words <s> {'ab' * (i % 7)}" for i in range(3_000)]
    corpus = directory / "corpus.txt"
    corpus.write_text("\n".join(lines), encoding="utf-8")
    BpeTokenizer(str(corpus), 200, PreTokenization.whitespace(), ["<s>"], save_model=True,
                 output_dir=str(directory / "model")).train()
    (directory / "lines.txt").write_text("\n".join(lines[:2_000]), encoding="utf-8")
    return str(directory / "model"), str(directory / "lines.txt")


@pytest.mark.parametrize(("parent", "child_pool_usable"),
                         [("unused", True), ("used", True), ("held by a live thread", False)])
def test_forked_child_has_a_pool_unless_another_thread_held_it(parent, child_pool_usable, model_and_lines):
    model, lines = model_and_lines
    completed = subprocess.run([sys.executable, "-c", CHILD, model, lines, parent], capture_output=True, text=True,
                               timeout=120)
    assert completed.returncode == 0, completed.stderr[-3000:]
    report = json.loads(completed.stdout.strip().splitlines()[-1])
    assert report == {"parent pool usable": True, "child pool usable": child_pool_usable,
                      "child results equal": True, "child decodes equal": True, "pool results equal": True,
                      "parent pool usable after": True}
