"""Batch encoding: encode_batch on all cores against the one-at-a-time encode loop and against
HF tokenizers' encode_batch, on the held-out text split into lines, with the same merges.

    python bench/batch_encoding.py --model MODEL_DIR --text HELD_OUT [--threads 2] [--repeat 9]

MODEL_DIR is a wrenmark model directory (compare.py leaves one per corpus size under
bench/data/work/models/), HELD_OUT the held-out text. Lines with a character the vocabulary
lacks are dropped, as compare.py does. The rows run in interleaved rounds; each figure is the
median of the rounds, in wall-clock time (the point is using several cores), and "x the loop" is
the median of the per-round ratios. tokenizers runs with RAYON_NUM_THREADS set to the
thread count; wrenmark's worker pool has one thread per core of the machine, so `--threads`
should match the machine. Writes a JSON report with --output.
"""

import argparse
import json
import os
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import convert  # noqa: E402


def interleaved_medians(functions: dict, repeat: int) -> tuple[dict, dict]:
    """Runs every function once per round, so that a slow spell of the machine hits all rows
    alike. Returns each row's median seconds and, for every row, the median over the rounds of
    the first row's time divided by that row's time in the same round."""
    for function in functions.values():
        function()  # warm: the word cache, the tables, the pool
    times = {label: [] for label in functions}
    for _ in range(repeat):
        for label, function in functions.items():
            start = time.perf_counter()
            function()
            times[label].append(time.perf_counter() - start)
    first = next(iter(times.values()))
    ratios = {label: statistics.median(a / b for a, b in zip(first, row)) for label, row in times.items()}
    return {label: statistics.median(row) for label, row in times.items()}, ratios


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--model", required=True)
    parser.add_argument("--text", required=True)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeat", type=int, default=9)
    parser.add_argument("--output")
    arguments = parser.parse_args()
    os.environ["RAYON_NUM_THREADS"] = str(arguments.threads)
    os.environ["TOKENIZERS_PARALLELISM"] = "true"

    import wrenmark

    tokenizer = wrenmark.BpeTokenizer.from_pretrained(arguments.model)
    id_to_token, _ = convert.read_model(Path(arguments.model))
    alphabet = {token for token in id_to_token if len(token) == 1}
    lines = [line for line in Path(arguments.text).read_text(encoding="utf-8").split("\n")
             if all(c in alphabet or c in convert.WHITE_SPACE for c in line)]
    size_mb = sum(len(line.encode("utf-8")) + 1 for line in lines) / 1e6

    functions = {
        "wrenmark encode loop (1 thread)": lambda: [tokenizer.encode(line) for line in lines],
        f"wrenmark encode_batch ({os.cpu_count()} threads)": lambda: tokenizer.encode_batch(lines),
    }
    batch_ids = [encoder.ids for encoder in tokenizer.encode_batch(lines)]
    assert batch_ids == [tokenizer.encode(line).ids for line in lines]
    try:
        peer = convert.tokenizers_same_merges(Path(arguments.model))
        functions[f"tokenizers encode_batch ({arguments.threads} threads)"] = lambda: peer.encode_batch(lines)
        same = [encoding.ids for encoding in peer.encode_batch(lines)] == batch_ids
    except ImportError:
        same = None
    rows, loop_ratios = interleaved_medians(functions, arguments.repeat)

    print(f"{len(lines):,} lines, {size_mb:.1f} MB; load average {os.getloadavg()[0]:.2f}")
    for label, seconds in rows.items():
        print(f"  {label:<40} {size_mb / seconds:8.1f} MB/s  {loop_ratios[label]:5.2f}x the loop")
    peer_labels = [label for label in rows if label.startswith("tokenizers")]
    batch_label = f"wrenmark encode_batch ({os.cpu_count()} threads)"
    if peer_labels:
        peer_ratio = loop_ratios[batch_label] / loop_ratios[peer_labels[0]]
        print(f"  encode_batch is {peer_ratio:.2f}x tokenizers' encode_batch (same ids: {same})")
    if arguments.output:
        Path(arguments.output).write_text(json.dumps({
            "lines": len(lines), "megabytes": size_mb, "seconds": rows, "times_the_loop": loop_ratios,
            "same_ids_as_tokenizers": same,
            "load_average": os.getloadavg()}, indent=2))


if __name__ == "__main__":
    main()
