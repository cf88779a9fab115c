"""Batch encoding: encode_batch on all cores against the one-at-a-time encode loop and against
HF tokenizers' encode_batch, on the held-out text split into lines, with the same merges.

    python bench/batch_encoding.py --model MODEL_DIR --text HELD_OUT [--threads 2] [--repeat 5]

MODEL_DIR is a wrenmark model directory (compare.py leaves one per corpus size under
bench/data/work/models/), HELD_OUT the held-out text. Lines with a character the vocabulary
lacks are dropped, as compare.py does. Each figure is the median of the repeats, in wall-clock
time (the point is using several cores). tokenizers runs with RAYON_NUM_THREADS set to the
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


def median_seconds(function, repeat: int) -> float:
    function()  # warm: the word cache, the tables, the pool
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--model", required=True)
    parser.add_argument("--text", required=True)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeat", type=int, default=5)
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

    rows = {}
    rows["wrenmark encode loop (1 thread)"] = median_seconds(lambda: [tokenizer.encode(line) for line in lines],
                                                             arguments.repeat)
    rows[f"wrenmark encode_batch ({os.cpu_count()} threads)"] = median_seconds(
        lambda: tokenizer.encode_batch(lines), arguments.repeat)
    batch_ids = [encoder.ids for encoder in tokenizer.encode_batch(lines)]
    assert batch_ids == [tokenizer.encode(line).ids for line in lines]
    try:
        peer = convert.tokenizers_same_merges(Path(arguments.model))
        rows[f"tokenizers encode_batch ({arguments.threads} threads)"] = median_seconds(
            lambda: peer.encode_batch(lines), arguments.repeat)
        same = [encoding.ids for encoding in peer.encode_batch(lines)] == batch_ids
    except ImportError:
        same = None

    print(f"{len(lines):,} lines, {size_mb:.1f} MB; load average {os.getloadavg()[0]:.2f}")
    loop = rows["wrenmark encode loop (1 thread)"]
    for label, seconds in rows.items():
        print(f"  {label:<40} {size_mb / seconds:8.1f} MB/s  {loop / seconds:5.2f}x the loop")
    peer_rows = [seconds for label, seconds in rows.items() if label.startswith("tokenizers")]
    batch = rows[f"wrenmark encode_batch ({os.cpu_count()} threads)"]
    if peer_rows:
        print(f"  encode_batch is {peer_rows[0] / batch:.2f}x tokenizers' encode_batch (same ids: {same})")
    if arguments.output:
        Path(arguments.output).write_text(json.dumps({
            "lines": len(lines), "megabytes": size_mb, "seconds": rows, "same_ids_as_tokenizers": same,
            "load_average": os.getloadavg()}, indent=2))


if __name__ == "__main__":
    main()
