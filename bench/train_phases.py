"""Times the phases of training for several corpus sizes and vocabulary sizes.

Every training runs in a child interpreter of its own, so that its peak resident set is that
child's alone (taken from wait4's resource usage). The child's standard output carries the timing
lines that training prints; the child also reports the wall time of train() itself.

    python bench/train_phases.py --sizes 10MB 100MB --vocabs 8k 32k

expects the corpora of bench/corpus.py, writes bench/results/train_phases.json and prints a
markdown table.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import re
import subprocess
import sys
import tempfile
import time
from decimal import Decimal
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import corpus  # noqa: E402

REPO_ROOT = corpus.REPO_ROOT
RESULTS_PATH = REPO_ROOT / "bench" / "results" / "train_phases.json"

PHASES = {
    "removing special tokens": "removal",
    "vocab builder": "vocab_builder",
    "build initial pair": "initial_pairs",
}
OUT_OF_PAIRS_MESSAGE = "targeted vocab size not reached as no more pairs to merge "

_UNIT_NS = {"s": 10**9, "ms": 10**6, "\u00b5s": 10**3, "ns": 1}
_DURATION = r"(\d+(?:\.\d+)?)(s|ms|\u00b5s|ns)"
_TIMING_LINE = re.compile(
    "(" + "|".join(re.escape(name) for name in PHASES) + r") took time: " + _DURATION + r"\n"
)
_REPR = re.compile(r"BpeTokenizer\(vocab_size=(\d+)\)")

CHILD_SOURCE = """
import sys, time, wrenmark
path, vocab, removal, *special = sys.argv[1:]
method = getattr(wrenmark.SpecialTokenRemovalMethod, removal)()
tokenizer = wrenmark.BpeTokenizer(
    path, int(vocab), wrenmark.PreTokenization.whitespace(), special, method
)
start = time.perf_counter_ns()
tokenizer.train()
elapsed = time.perf_counter_ns() - start
print(f"train_wall_ns={elapsed} {tokenizer!r}", file=sys.stderr, flush=True)
"""

BASELINE_SOURCE = "import wrenmark"


def parse_duration_ns(text: str) -> int:
    """'12.345678ms' -> 12345678."""
    match = re.fullmatch(_DURATION, text)
    if not match:
        raise ValueError(f"not a duration: {text!r}")
    number, unit = match.groups()
    return int(Decimal(number) * _UNIT_NS[unit])


def parse_timing_lines(stdout: str) -> dict[str, int]:
    """{'vocab_builder': ns, ...} for every timing line found in the child's output."""
    phases = {}
    for match in _TIMING_LINE.finditer(stdout):
        name, number, unit = match.groups()
        phases[PHASES[name]] = parse_duration_ns(number + unit)
    return phases


def parse_vocab_count(text: str) -> int:
    """'8k' -> 8000, '32000' -> 32000."""
    match = re.fullmatch(r"(\d+)([kK]?)", text.strip())
    if not match:
        raise ValueError(f"not a vocabulary size: {text!r}")
    return int(match.group(1)) * (1000 if match.group(2) else 1)


def run_child(source: str, args: list[str]) -> dict:
    """Runs `python -c source args`; returns its output, wall time and peak RSS."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        start = time.perf_counter_ns()
        child = subprocess.Popen(
            [sys.executable, "-c", source, *args], stdout=out, stderr=err, cwd=REPO_ROOT
        )
        _, status, usage = os.wait4(child.pid, 0)
        wall_ns = time.perf_counter_ns() - start
        child.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        return {
            "exit_code": child.returncode,
            "stdout": out.read().decode("utf-8", errors="replace"),
            "stderr": err.read().decode("utf-8", errors="replace"),
            "process_wall_ns": wall_ns,
            "peak_rss_kib": usage.ru_maxrss,
        }


def run_training(path: Path, vocab: int, special_tokens: list[str], removal: str) -> dict:
    child = run_child(CHILD_SOURCE, [str(path), str(vocab), removal, *special_tokens])
    if child["exit_code"] != 0:
        raise RuntimeError(
            f"training on {path.name} at {vocab} exited with {child['exit_code']}:\n"
            + child["stderr"][-2000:]
        )
    train_wall = re.search(r"train_wall_ns=(\d+)", child["stderr"])
    reached = _REPR.search(child["stderr"])
    phases = parse_timing_lines(child["stdout"])
    train_wall_ns = int(train_wall.group(1)) if train_wall else None
    timed = sum(phases.values())
    return {
        "phases_ns": phases,
        # Reading the corpus, pre-tokenization and the merge loop print no timing line.
        "untimed_ns": train_wall_ns - timed if train_wall_ns is not None else None,
        "train_wall_ns": train_wall_ns,
        "process_wall_ns": child["process_wall_ns"],
        "peak_rss_kib": child["peak_rss_kib"],
        "vocab_reached": int(reached.group(1)) if reached else None,
        "ran_out_of_pairs": OUT_OF_PAIRS_MESSAGE in child["stdout"],
    }


def median_run(runs: list[dict]) -> dict:
    """The run whose train() wall time is the median (the lower one for an even count)."""
    ordered = sorted(runs, key=lambda run: run["train_wall_ns"] or 0)
    return ordered[(len(ordered) - 1) // 2]


def format_ns(ns: int | None) -> str:
    if ns is None:
        return "-"
    if ns >= 10**9:
        return f"{ns / 1e9:.2f} s"
    if ns >= 10**6:
        return f"{ns / 1e6:.1f} ms"
    return f"{ns / 1e3:.1f} µs"


def markdown_table(results: list[dict]) -> str:
    with_removal = any("removal" in r["median"]["phases_ns"] for r in results)
    header = ["corpus", "vocab"]
    header += ["removal"] if with_removal else []
    header += ["vocab builder", "initial pairs", "rest of train()", "train()", "process"]
    header += ["fastest train()", "peak RSS"]
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    for result in results:
        run = result["median"]
        phases = run["phases_ns"]
        vocab = f"{result['vocab']}" + ("" if run["vocab_reached"] in (None, result["vocab"])
                                        else f" (reached {run['vocab_reached']})")
        row = [result["corpus"], vocab]
        row += [format_ns(phases.get("removal"))] if with_removal else []
        row += [
            format_ns(phases.get("vocab_builder")),
            format_ns(phases.get("initial_pairs")),
            format_ns(run["untimed_ns"]),
            format_ns(run["train_wall_ns"]),
            format_ns(run["process_wall_ns"]),
            format_ns(min(r["train_wall_ns"] or 0 for r in result["runs"])),
            f"{run['peak_rss_kib'] / 1024:.0f} MiB",
        ]
        lines.append("| " + " | ".join(row) + " |")
    return "\n".join(lines)


def git_commit() -> str | None:
    result = subprocess.run(
        ["git", "-C", str(REPO_ROOT), "rev-parse", "--short", "HEAD"], capture_output=True, text=True
    )
    return result.stdout.strip() or None


def cpu_model() -> str | None:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return None


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", nargs="+", default=["10MB", "100MB"])
    parser.add_argument("--vocabs", nargs="+", default=["8k", "32k"])
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--special-tokens", nargs="*", default=[])
    parser.add_argument("--removal", choices=["simple", "aho_corasick"], default="simple")
    parser.add_argument("--output", type=Path, default=RESULTS_PATH)
    args = parser.parse_args(argv)

    manifest = corpus.load_manifest(corpus.DATA_DIR)
    # Other work on the machine skews the timings; the load averages tell how much there was.
    load_before = os.getloadavg()
    baseline = run_child(BASELINE_SOURCE, [])
    results = []
    for size in (corpus.parse_size(text) for text in args.sizes):
        path = corpus.corpus_path(size)
        if not path.is_file():
            sys.exit(f"{path} is missing: run bench/corpus.py --sizes {corpus.size_label(size)}")
        for vocab in (parse_vocab_count(text) for text in args.vocabs):
            runs = [
                run_training(path, vocab, args.special_tokens, args.removal)
                for _ in range(args.repeat)
            ]
            results.append({
                "corpus": corpus.size_label(size),
                "corpus_bytes": path.stat().st_size,
                "corpus_sha256": manifest.get("files", {}).get(path.name, {}).get("sha256"),
                "vocab": vocab,
                "runs": runs,
                "median": median_run(runs),
            })
            print(f"{results[-1]['corpus']} at {vocab}: train() "
                  f"{format_ns(results[-1]['median']['train_wall_ns'])}", file=sys.stderr)

    report = {
        "commit": git_commit(),
        "python": platform.python_version(),
        "cpu": cpu_model(),
        "cores": os.cpu_count(),
        "special_tokens": args.special_tokens,
        "removal": args.removal,
        "load_average_before": load_before,
        "load_average_after": os.getloadavg(),
        "baseline_import_rss_kib": baseline["peak_rss_kib"],
        "results": results,
    }
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(json.dumps(report, indent=2, ensure_ascii=False) + "\n")
    print(markdown_table(results))
    print("\nload average (1 min) before and after: "
          f"{report['load_average_before'][0]:.2f}, {report['load_average_after'][0]:.2f}")


if __name__ == "__main__":
    main()
