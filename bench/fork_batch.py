"""encode_batch in a forked child process against the child's own one-at-a-time encode loop.

    python bench/fork_batch.py [--model MODEL_DIR --text TEXT] [--lines 20000] [--repeat 5]

Three children, of one parent at three moments: before the parent used the worker pool (the
child starts a pool of its own), after it used it from the main thread (the fork shuts the idle
pool down, so the child starts one of its own too), and while another thread of the parent holds
the pool (the child runs batches on the calling thread: what every child of a parent that had
used the pool would get if the fork did not shut it down). Each child times, in interleaved
rounds, the loop `[encode(line) for line in lines]` and `encode_batch(lines)`, and reports the
medians in wall-clock time and the median per-round ratio; the batch's speed-up by the pool is
the serial child's batch time over the others'.
Without --model, a model is trained on generated text in a temporary directory. Writes a JSON
report with --output.
"""

import argparse
import json
import os
import random
import statistics
import tempfile
import threading
import time
import warnings
from pathlib import Path

import wrenmark.wrenmark as native
from wrenmark import BpeTokenizer, PreTokenization


def generated_lines(count: int, seed: int = 5) -> list[str]:
    generator = random.Random(seed)
    words = ["".join(generator.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(generator.randint(1, 10)))
             for _ in range(20_000)]
    return [" ".join(generator.choice(words) for _ in range(14)) for _ in range(count)]


def child_timings(tokenizer: BpeTokenizer, lines: list[str], repeat: int) -> dict:
    loop, batch = [], []
    for _ in range(repeat):
        start = time.perf_counter()
        looped = [tokenizer.encode(line).ids for line in lines]
        loop.append(time.perf_counter() - start)
        start = time.perf_counter()
        batched = tokenizer.encode_batch(lines)
        batch.append(time.perf_counter() - start)
    assert [encoding.ids for encoding in batched] == looped
    return {"pool usable": native._worker_pool_usable(), "loop s": statistics.median(loop),
            "batch s": statistics.median(batch),
            "batch x loop": statistics.median(a / b for a, b in zip(loop, batch))}


def in_forked_child(function) -> dict:
    read_end, write_end = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() of a process with threads
        child = os.fork()
    if child == 0:
        os.close(read_end)
        os.write(write_end, json.dumps(function()).encode())
        os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        report = json.loads(pipe.read())
    os.waitpid(child, 0)
    return report


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--model", help="a wrenmark model directory (default: trained on generated text)")
    parser.add_argument("--text", help="text to encode, one line per call (default: generated)")
    parser.add_argument("--lines", type=int, default=20_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--output", help="write the report as JSON here")
    arguments = parser.parse_args()

    with tempfile.TemporaryDirectory() as scratch:
        if arguments.text:
            lines = Path(arguments.text).read_text(encoding="utf-8").splitlines()[: arguments.lines]
        else:
            lines = generated_lines(arguments.lines)
        model = arguments.model
        if model is None:
            corpus = Path(scratch) / "corpus.txt"
            corpus.write_text("\n".join(generated_lines(40_000, seed=6)), encoding="utf-8")
            model = str(Path(scratch) / "model")
            # Trained in a child: training counts on the pool, and this parent must not use it.
            in_forked_child(lambda: BpeTokenizer(str(corpus), 8_000, PreTokenization.whitespace(), [],
                                                 save_model=True, output_dir=model).train() or {})
        tokenizer = BpeTokenizer.from_pretrained(model)
        tokenizer.encode(lines[0])  # the tables are built; the pool stays unstarted
        report = {"cores": os.cpu_count(), "lines": len(lines)}
        measure = lambda: child_timings(tokenizer, lines, arguments.repeat)  # noqa: E731
        report["parent never used the pool"] = in_forked_child(measure)
        tokenizer.encode_batch(lines[:2_000])
        report["parent used the pool, idle at the fork"] = in_forked_child(measure)
        used, finish = threading.Event(), threading.Event()
        holder = threading.Thread(target=lambda: (tokenizer.encode_batch(lines[:2_000]), used.set(), finish.wait()))
        holder.start()
        used.wait()
        report["another thread holds the pool (serial child)"] = in_forked_child(measure)
        finish.set()
        holder.join()
        serial = report["another thread holds the pool (serial child)"]["batch s"]
        for row in list(report.values())[2:]:
            row["serial batch x batch"] = serial / row["batch s"]
    text = json.dumps(report, indent=2)
    print(text)
    if arguments.output:
        Path(arguments.output).write_text(text + "\n", encoding="utf-8")


if __name__ == "__main__":
    main()
