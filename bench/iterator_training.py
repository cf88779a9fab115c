"""Training from Python: from an iterable of the corpus's lines against train() on the file, and
from the corpus's word-count table against train() without its counting phase.

    python bench/iterator_training.py --sizes 100MB 1GB [--vocab 32k] [--repeat 3]

expects the scaling corpora of bench/corpus.py (made when missing). Every training runs in a
child process of its own with its progress shown; the parent stamps each progress line as it
arrives, so the phases of train() are timed from outside: the counting phase runs from the line
"counting words" to the line "counting pairs". The word-count table is made once per corpus
(bench/data/work/word-counts-{size}.tsv, split at the extension's own white space) and loaded
into a dict before the timed call. Writes bench/results/iterator-training.json and prints a
Markdown table. The three trainings must save the same model files.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import corpus  # noqa: E402
import train_phases  # noqa: E402

REPO_ROOT = corpus.REPO_ROOT
WORK_DIR = corpus.DATA_DIR / "work"
RESULTS_PATH = REPO_ROOT / "bench" / "results" / "iterator-training.json"
MODEL_FILES = ["config.json", "merge_rules.json", "pairs_to_merge.json", "save_ranks.json", "token_table.json"]

CHILD_SOURCE = """
import sys, time, wrenmark
mode, path, vocab, out = sys.argv[1:]
tokenizer = wrenmark.BpeTokenizer(path, int(vocab), wrenmark.PreTokenization.whitespace(),
                                  save_model=True, output_dir=out)
tokenizer.show_progress = True
def lines():
    with open(path, "rb") as stream:
        for line in stream:
            yield line.removesuffix(b"\\n").decode("utf-8")
if mode == "file":
    start = time.perf_counter_ns()
    tokenizer.train()
elif mode == "iterator":
    start = time.perf_counter_ns()
    tokenizer.train_from_iterator(lines())
elif mode == "read":
    # What the iterable alone costs: the floor under training from it.
    start = time.perf_counter_ns()
    for _ in lines():
        pass
else:
    counts = {}
    with open(path, "rb") as stream:
        for line in stream:
            word, _, count = line.rstrip(b"\\n").decode("utf-8").rpartition("\\t")
            counts[word] = int(count)
    start = time.perf_counter_ns()
    tokenizer.train_from_word_counts(counts)
print(f"call_ns={time.perf_counter_ns() - start}", file=sys.stderr, flush=True)
"""

TABLE_SOURCE = """
import collections, re, sys
import wrenmark.wrenmark as extension
path, out = sys.argv[1:]
separators = re.compile("[" + re.escape(extension._text_classes()[0]) + "]+")
counts = collections.Counter()
with open(path, encoding="utf-8", newline="") as stream:
    for line in stream:
        counts.update(word for word in separators.split(line) if word)
with open(out, "w", encoding="utf-8", newline="\\n") as table:
    table.writelines(f"{word}\\t{count}\\n" for word, count in counts.items())
"""


def word_count_table(path: Path, label: str) -> Path:
    """The corpus's words and counts in order of first occurrence, split as the extension splits."""
    table = WORK_DIR / f"word-counts-{label}.tsv"
    if table.is_file():
        return table
    WORK_DIR.mkdir(parents=True, exist_ok=True)
    partial = table.with_name(table.name + ".partial")
    # In a child: the peak memory of a process started later would include this one's (Linux keeps
    # the high-water mark of the forking process across exec).
    subprocess.run([sys.executable, "-c", TABLE_SOURCE, str(path), str(partial)], check=True, cwd=REPO_ROOT)
    partial.replace(table)
    return table


def run(mode: str, source: Path, vocab: int, out: Path) -> dict:
    """One training in a child; the times at which its progress lines arrived, from the start."""
    with tempfile.TemporaryFile() as stdout:
        start = time.perf_counter()
        child = subprocess.Popen([sys.executable, "-c", CHILD_SOURCE, mode, str(source), str(vocab), str(out)],
                                 stdout=stdout, stderr=subprocess.PIPE, cwd=REPO_ROOT)
        stamped = [(time.perf_counter() - start, line.decode("utf-8", "replace").rstrip("\n"))
                   for line in child.stderr]
        _, status, usage = os.wait4(child.pid, 0)
        stdout.seek(0)
        output = stdout.read().decode("utf-8", "replace")
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError(f"{mode} on {source} failed:\n" + "\n".join(line for _, line in stamped[-20:]))

    def first(prefix: str) -> float:
        return next(stamp for stamp, line in stamped if line.startswith("wrenmark: " + prefix))

    call_ns = int(re.search(r"call_ns=(\d+)", "\n".join(line for _, line in stamped)).group(1))
    cpu_s = usage.ru_utime + usage.ru_stime  # the whole child's, start-up included
    if mode == "read":
        return {"call_s": call_ns / 1e9, "cpu_s": cpu_s, "peak_rss_mib": usage.ru_maxrss / 1024}
    result = {
        "call_s": call_ns / 1e9,
        "cpu_s": cpu_s,
        "after_counting_s": first("training done") - first("counting pairs"),
        "peak_rss_mib": usage.ru_maxrss / 1024,
        "phases_ns": train_phases.parse_timing_lines(output),
    }
    if mode != "counts":
        result["counting_s"] = first("counting pairs") - first("counting words")
    return result


def same_models(first: Path, second: Path) -> bool:
    return all((first / name).read_bytes() == (second / name).read_bytes() for name in MODEL_FILES)


def markdown(rows: list[dict]) -> str:
    lines = ["| corpus | train() | from iterator | ratio | reading the lines alone | CPU file / iterator / read | "
             "peak RSS file / iterator | train() after counting | from word counts | ratio | peak RSS counts |",
             "|---|---|---|---|---|---|---|---|---|---|---|"]
    for row in rows:
        file, items, counts, read = row["file"], row["iterator"], row["counts"], row["read"]
        lines.append(
            f"| {row['corpus']} | {file['call_s']:.2f} s | {items['call_s']:.2f} s | "
            f"{items['call_s'] / file['call_s']:.2f}x | {read['call_s']:.2f} s | "
            f"{file['cpu_s']:.1f} / {items['cpu_s']:.1f} / {read['cpu_s']:.1f} s | "
            f"{file['peak_rss_mib']:.0f} / {items['peak_rss_mib']:.0f} MiB | "
            f"{file['after_counting_s']:.2f} s | {counts['call_s']:.2f} s | "
            f"{counts['call_s'] / file['after_counting_s']:.2f}x | {counts['peak_rss_mib']:.0f} MiB |")
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", nargs="+", default=["100MB", "1GB"])
    parser.add_argument("--vocab", default="32k")
    parser.add_argument("--repeat", type=int, default=1)
    args = parser.parse_args(argv)
    vocab = train_phases.parse_vocab_count(args.vocab)
    sizes = [corpus.parse_size(text) for text in args.sizes]
    rows = []
    for size, path in zip(sizes, corpus.prepare_scaling(sizes)):
        label = corpus.size_label(size)
        table = word_count_table(path, label)
        with tempfile.TemporaryDirectory() as scratch:
            models = {mode: Path(scratch) / mode for mode in ("file", "iterator", "read", "counts")}
            row: dict = {"corpus": label, "vocab": vocab}
            # Round the three in turn, so that other work on the machine falls on all alike; the
            # fastest run of each is kept.
            for _ in range(args.repeat):
                for mode, model in models.items():
                    result = run(mode, table if mode == "counts" else path, vocab, model)
                    print(f"{label} {mode}: {result}", file=sys.stderr, flush=True)
                    if mode not in row or result["call_s"] < row[mode]["call_s"]:
                        row[mode] = result
            del models["read"]
            row["same_models"] = same_models(models["file"], models["iterator"]) and same_models(
                models["file"], models["counts"])
        rows.append(row)
    RESULTS_PATH.parent.mkdir(parents=True, exist_ok=True)
    RESULTS_PATH.write_text(json.dumps({"commit": train_phases.git_commit(), "rows": rows}, indent=2) + "\n")
    print(markdown(rows))
    if not all(row["same_models"] for row in rows):
        sys.exit("the trainings saved different models")


if __name__ == "__main__":
    main()
