"""Batch encoding: encode_batch on all cores against the one-at-a-time encode loop, against HF
tokenizers' encode_batch with the same merges and against gigatoken's encode_batch with its own
model, on the held-out text split into lines.

    python bench/batch_encoding.py --model MODEL_DIR --text HELD_OUT [--classic-model MODEL_DIR]
        [--gigatoken-model MODEL_DIR] [--threads 2] [--repeat 9] [--output JSON]

MODEL_DIR is a wrenmark model directory (compare.py leaves one per corpus size and system under
bench/data/work/models/: wrenmark, wrenmark-classic, gigatoken), HELD_OUT the held-out text.
With --classic-model, the model of the other merge mode gets its loop and encode_batch rows too.
Lines with a character the vocabulary lacks are dropped, as compare.py does. The rows run in
interleaved rounds after one warm-up call each (every encoder's caches are warm); each figure is
the median of the rounds, in wall-clock time (the point is using several cores), and "x the loop"
is the median of the per-round ratios. tokenizers and gigatoken run with RAYON_NUM_THREADS set to
the thread count; wrenmark's worker pool has one thread per core of the machine, so `--threads`
should match the machine. Writes a JSON report with --output, with every round's times.
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


def interleaved_times(functions: dict, repeat: int) -> dict[str, list[float]]:
    """Runs every function once per round, so that a slow spell of the machine hits all rows
    alike; returns every row's seconds, round by round."""
    for function in functions.values():
        function()  # warm: the word cache, the tables, the pool
    times = {label: [] for label in functions}
    for _ in range(repeat):
        for label, function in functions.items():
            start = time.perf_counter()
            function()
            times[label].append(time.perf_counter() - start)
    return times


def interleaved_medians(functions: dict, repeat: int) -> tuple[dict, dict]:
    """Each row's median seconds of interleaved_times and, for every row, the median over the
    rounds of the first row's time divided by that row's time in the same round."""
    times = interleaved_times(functions, repeat)
    first = next(iter(times.values()))
    ratios = {label: statistics.median(a / b for a, b in zip(first, row)) for label, row in times.items()}
    return {label: statistics.median(row) for label, row in times.items()}, ratios


def cpu_ticks() -> tuple[int, int] | None:
    """The machine's steal ticks (time the hypervisor ran something else on our virtual CPUs) and
    all its ticks so far, from /proc/stat; None where there is no such file."""
    try:
        fields = [int(field) for field in Path("/proc/stat").read_text().split("\n")[0].split()[1:]]
    except (OSError, ValueError):
        return None
    # user nice system idle iowait irq softirq steal (guest time is counted in user already)
    return (fields[7] if len(fields) > 7 else 0), sum(fields[:8])


def known_lines(model: Path, text: Path) -> list[str]:
    id_to_token, _ = convert.read_model(model)
    alphabet = {token for token in id_to_token if len(token) == 1}
    return [line for line in text.read_text(encoding="utf-8").split("\n")
            if all(c in alphabet or c in convert.WHITE_SPACE for c in line)]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--model", required=True)
    parser.add_argument("--classic-model", help="the model of the same corpus in merge_all_occurrences mode")
    parser.add_argument("--gigatoken-model", help="gigatoken's own model of the same corpus")
    parser.add_argument("--text", required=True)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeat", type=int, default=9)
    parser.add_argument("--output")
    arguments = parser.parse_args()
    # A model that the run did not train (a peer not installed or skipped) leaves its rows out.
    for option in ["classic_model", "gigatoken_model"]:
        model = getattr(arguments, option)
        if model is not None and not any(Path(model).glob("*")):
            print(f"note: no model in {model}; its rows are left out", file=sys.stderr)
            setattr(arguments, option, None)
    os.environ["RAYON_NUM_THREADS"] = str(arguments.threads)
    os.environ["TOKENIZERS_PARALLELISM"] = "true"

    import wrenmark

    lines = known_lines(Path(arguments.model), Path(arguments.text))
    size_mb = sum(len(line.encode("utf-8")) + 1 for line in lines) / 1e6

    # {mode: {"loop": row label, "batch": row label}}; the first row is the yardstick of "x the loop".
    modes: dict[str, dict[str, str]] = {}
    functions = {}
    batch_ids = {}
    for mode, model in [("wrenmark", arguments.model), ("wrenmark-classic", arguments.classic_model)]:
        if model is None:
            continue
        tokenizer = wrenmark.BpeTokenizer.from_pretrained(model)
        modes[mode] = {"loop": f"{mode} encode loop (1 thread)",
                       "batch": f"{mode} encode_batch ({os.cpu_count()} threads)"}
        functions[modes[mode]["loop"]] = lambda tokenizer=tokenizer: [tokenizer.encode(line) for line in lines]
        functions[modes[mode]["batch"]] = lambda tokenizer=tokenizer: tokenizer.encode_batch(lines)
        batch_ids[mode] = [encoder.ids for encoder in tokenizer.encode_batch(lines)]
        assert batch_ids[mode] == [tokenizer.encode(line).ids for line in lines]
    try:
        peer = convert.tokenizers_same_merges(Path(arguments.model))
        functions[f"tokenizers encode_batch ({arguments.threads} threads)"] = lambda: peer.encode_batch(lines)
        same = [encoding.ids for encoding in peer.encode_batch(lines)] == batch_ids["wrenmark"]
    except ImportError:
        same = None
    gigatoken_label = None
    if arguments.gigatoken_model:
        import systems

        gigatoken = systems.gigatoken_tokenizer(arguments.gigatoken_model)
        gigatoken_label = f"gigatoken encode_batch, own model ({arguments.threads} threads)"
        functions[gigatoken_label] = lambda: gigatoken.encode_batch(lines)
    ticks_before = cpu_ticks()
    times = interleaved_times(functions, arguments.repeat)
    ticks_after = cpu_ticks()
    steal_share = None
    if ticks_before and ticks_after and ticks_after[1] > ticks_before[1]:
        steal_share = (ticks_after[0] - ticks_before[0]) / (ticks_after[1] - ticks_before[1])
    rows = {label: statistics.median(row) for label, row in times.items()}
    first = times[modes["wrenmark"]["loop"]]
    loop_ratios = {label: statistics.median(a / b for a, b in zip(first, row)) for label, row in times.items()}

    steal = "" if steal_share is None else f", steal time {steal_share:.1%} of the CPUs' time"
    print(f"{len(lines):,} lines, {size_mb:.1f} MB; load average {os.getloadavg()[0]:.2f}{steal}")
    for label, seconds in rows.items():
        print(f"  {label:<48} {size_mb / seconds:8.1f} MB/s  {loop_ratios[label]:5.2f}x the loop")
    peer_labels = [label for label in rows if label.startswith("tokenizers")]
    if peer_labels:
        peer_ratio = loop_ratios[modes["wrenmark"]["batch"]] / loop_ratios[peer_labels[0]]
        print(f"  encode_batch is {peer_ratio:.2f}x tokenizers' encode_batch (same ids: {same})")
    if arguments.output:
        Path(arguments.output).write_text(json.dumps({
            "model": arguments.model, "lines": len(lines), "megabytes": size_mb, "threads": arguments.threads,
            "seconds": rows, "times_the_loop": loop_ratios, "rounds": times, "modes": modes,
            "gigatoken": gigatoken_label, "same_ids_as_tokenizers": same,
            "load_average": os.getloadavg(), "steal_share": steal_share}, indent=2))


if __name__ == "__main__":
    main()
