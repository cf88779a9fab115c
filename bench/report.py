"""Writes bench/RESULTS.md and bench/results/training-time.png from a run of bench/compare.py.

    bench/.venv/bin/python bench/report.py bench/results/latest-full.json

Figures are medians over the repetitions, with the spread (fastest to slowest) beside them.
The hand-written part on profiling, bench/profile-notes.md, is copied in at the end.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import sys
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
RESULTS_MD = BENCH_DIR / "RESULTS.md"
PLOT = BENCH_DIR / "results" / "training-time.png"
NOTES = BENCH_DIR / "profile-notes.md"
TARGET_SIZE = "100MB"
LARGE_SIZE = "1GB"
CLASSIC = "wrenmark-classic"
# The peers whose vocabularies the classic merges are measured against.
QUALITY_PEERS = ["tokenizers", "youtokentome"]
CLASSIC_TIME_RATIO = 1.2
CLASSIC_QUALITY_RATIO = 1.03
NAIVE = "naive word count (C++)"
TEXTBOOK = "textbook word count (C++)"
# train() at 1 GB beside the naive loop on the same file, and its peak before reading overlapped
# counting (bench/RESULTS.md of that time: 339 MiB).
NAIVE_RATIO = 0.25
PEAK_RSS_BEFORE_KIB = 339 * 1024
# Encoding, by the encoder names of compare.py: both merge modes, the module as built from the
# baseline commit with the same models, and gigatoken with its own model.
MODES = ["wrenmark", CLASSIC]
BASELINE = "wrenmark-baseline"
GIGATOKEN = "gigatoken (own model)"
COLD_OVER_GIGATOKEN = 2
LINES_OVER_BASELINE = 2
BATCH_OVER_LOOP = 1.9
BATCH_OVER_GIGATOKEN = 2
DEFAULT_OVER_CLASSIC_TIME = 1.2


def is_ours(system: str) -> bool:
    return system.startswith("wrenmark")


def verdict(met: bool) -> str:
    return "met" if met else "not met"


def baseline_of(mode: str) -> str:
    return mode.replace("wrenmark", BASELINE, 1)


def median(values):
    return statistics.median(values) if values else None


def median_ratio(numerators, denominators):
    """The median over the rounds of one figure divided by another taken in the same round; the
    longer list's extra rounds go unpaired."""
    return median([a / b for a, b in zip(numerators, denominators)])


def seconds(ns) -> str:
    if ns is None:
        return "-"
    return f"{ns / 1e9:.2f} s" if ns >= 1e9 else f"{ns / 1e6:.1f} ms"


def spread(values_ns) -> str:
    """'median (fastest–slowest)', or the one value."""
    if not values_ns:
        return "-"
    if len(values_ns) == 1:
        return seconds(values_ns[0])
    return f"{seconds(median(values_ns))} ({seconds(min(values_ns))}–{seconds(max(values_ns))})"


def mib(kib) -> str:
    return "-" if kib is None else f"{kib / 1024:.0f} MiB"


def throughput(amount: int, values_ns) -> str:
    """`amount` per second at the median time, with the rates at the slowest and fastest times."""
    rates = sorted(amount * 1e9 / ns for ns in values_ns)
    if len(rates) == 1:
        return f"{rates[0]:.1f}"
    return f"{amount * 1e9 / median(values_ns):.1f} ({rates[0]:.1f}–{rates[-1]:.1f})"


# --- summaries -----------------------------------------------------------------------------------


def training_summary(run: dict) -> dict[tuple[str, str], dict]:
    summary = {}
    for entry in run["training"]:
        runs = entry["runs"]
        summary[(entry["system"], entry["corpus"])] = {
            "bytes": entry["corpus_bytes"],
            "wall": [r["train_ns"] for r in runs],
            "cpu": [r["cpu_ns"] for r in runs],
            "rss": median([r["peak_rss_kib"] for r in runs]),
            "vocab": runs[-1]["vocab_reached"],
            "phases": [r.get("phases_ns", {}) for r in runs],
        }
    return summary


def naive_summary(run: dict, loop: str = "naive_count") -> dict[str, list[int]]:
    """A naive loop's wall times by corpus (`loop`: "naive_count" or "textbook_count"); runs made
    before it existed have none."""
    return {entry["corpus"]: [r["wall_ns"] for r in entry["runs"]] for entry in run.get(loop, [])}


def naive_ratio(run: dict, system: str, size: str, loop: str = "naive_count") -> float | None:
    """A training's wall time over a naive loop's on the same corpus, same run: the median of the
    per-round ratios, since the loop runs once in every round, after the trainings of that round,
    so that a spell of load on the shared machine falls on both sides of one ratio. A system with
    fewer runs than the loop (the peers at 1 GB) pairs its runs with the loop's first rounds."""
    naive = naive_summary(run, loop).get(size)
    stats = training_summary(run).get((system, size))
    if not naive or not stats:
        return None
    return median_ratio(stats["wall"], naive)


def encoding_summary(run: dict) -> dict[str, dict]:
    encoding = run["encoding"]
    size = encoding["text"]["bytes"]
    summary = {}
    for name, runs in encoding["encoders"].items():
        encode_ns = [ns for r in runs for ns in r["encode_ns"]]
        decode_ns = [ns for r in runs for ns in r["decode_ns"]]
        tokens = runs[-1]["tokens"]
        summary[name] = {
            "bytes": size,
            "tokens": tokens,
            "encode_ns": encode_ns,
            "lines_ns": [ns for r in runs for ns in r.get("lines_encode_ns", [])],
            "lines_by_process": [r.get("lines_encode_ns", []) for r in runs],
            "decode_ns": decode_ns,
            "cold_ns": [r["cold_encode_ns"] for r in runs],
            "decoded_bytes": runs[-1]["decoded_bytes"],
            "mb_s": size / median(encode_ns) * 1e3,
            "same_ids": encoding["agreement"][name]["same_ids"],
            "same_ids_as": encoding["agreement"][name].get("same_ids_as", {}),
        }
    return summary


def first_call_rounds(run: dict) -> dict[str, list[int]]:
    """{encoder: the first call's time in each round of fresh processes}, empty for a run without them."""
    return {name: runs["cold_encode_ns"] for name, runs in run.get("first_calls", {}).get("encoders", {}).items()}


def first_call_section(run: dict) -> list[str]:
    """The rounds of fresh processes that only load a model and make the first call, which the
    first-call targets are measured in."""
    first = run.get("first_calls")
    if not first:
        return []
    size = run["encoding"]["text"]["bytes"]
    rows = []
    for name, runs in first["encoders"].items():
        cold, load = runs["cold_encode_ns"], runs["load_ns"]
        both = [a + b for a, b in zip(cold, load)]
        rows.append([name, f"{size / median(cold) * 1e3:.1f}", f"{seconds(median(cold))} ({seconds(min(cold))}–"
                     f"{seconds(max(cold))})", seconds(median(load)), seconds(median(both))])
    return [
        f"The first-call targets come from {first['rounds']} more rounds of fresh processes (bench/child.py "
        "`first_call`), each of which loads a model and encodes the held-out text once, going through the "
        "encoders in turn; a target's ratio is the median of the ratios within each round, since a first "
        "call waits on memory and other work on the machine moves it by more than the differences measured. "
        "wrenmark derives its encoding tables while loading a model, so the loading column belongs with "
        "the first call."
        + (f" The per-line targets come from {run['line_loops']['rounds']} rounds of the same kind (bench/child.py "
           "`line_loop`: a pass over the lines to warm the caches, then timed passes), going through wrenmark and "
           "the baseline module with each mode's model in turn; within one process the passes of that loop "
           "spread by a third and more on this machine." if run.get("line_loops") else ""),
        "",
        table(["encoder", "first call MB/s", "first call: median (spread)", "loading", "loading and first call"],
              rows),
        "",
    ]


def loading_summary(run: dict) -> dict[str, list[int]]:
    return {name: [ns for r in runs for ns in r["load_ns"]] for name, runs in run["loading"]["loaders"].items()}


# --- the targets ---------------------------------------------------------------------------------


def targets(run: dict) -> list[list[str]]:
    training = training_summary(run)
    rows = []
    ours = training.get(("wrenmark", TARGET_SIZE))
    hf = training.get(("tokenizers", TARGET_SIZE))
    if ours and hf:
        ratio = median(ours["wall"]) / median(hf["wall"])
        rows.append([f"training {TARGET_SIZE}, 32k: wall time ≤ ½ of tokenizers'",
                     f"{seconds(median(ours['wall']))} vs {seconds(median(hf['wall']))}: {ratio:.2f}×",
                     "met" if ratio <= 0.5 else "not met"])
        others = [(system, median(stats["wall"])) for (system, size), stats in training.items()
                  if size == TARGET_SIZE and not is_ours(system)]
        slowest_margin = min(t for _, t in others) if others else None
        fastest_peer = min(others, key=lambda item: item[1]) if others else None
        if fastest_peer:
            rows.append([f"training {TARGET_SIZE}: below every other peer",
                         f"fastest peer {fastest_peer[0]} {seconds(fastest_peer[1])}: "
                         f"{median(ours['wall']) / slowest_margin:.2f}×",
                         "met" if median(ours["wall"]) < slowest_margin else "not met"])
        rows.append([f"training {TARGET_SIZE}: peak memory ≤ tokenizers'",
                     f"{mib(ours['rss'])} vs {mib(hf['rss'])}",
                     "met" if ours["rss"] <= hf["rss"] else "not met"])
    large = training.get(("wrenmark", LARGE_SIZE))
    if ours and large:
        per_mb = lambda stats: median(stats["wall"]) / stats["bytes"]  # noqa: E731 (ns/B = ms/MB)
        ratio = per_mb(large) / per_mb(ours)
        rows.append([f"scaling: time per MB at {LARGE_SIZE} ≤ 1.5 × that at {TARGET_SIZE}",
                     f"{per_mb(large):.1f} vs {per_mb(ours):.1f} ms/MB: {ratio:.2f}×",
                     "met" if ratio <= 1.5 else "not met"])
    rows += classic_targets(run)
    rows += naive_targets(run)
    encoding = encoding_summary(run)
    hf_names = [name for name in encoding if name.startswith("tokenizers")]
    if "wrenmark" in encoding and hf_names:
        best_hf = max(hf_names, key=lambda name: encoding[name]["mb_s"])
        ratio = encoding["wrenmark"]["mb_s"] / encoding[best_hf]["mb_s"]
        rows.append(["encoding with the same merges: ≥ 2 × tokenizers' single-threaded MB/s",
                     f"{encoding['wrenmark']['mb_s']:.1f} vs {encoding[best_hf]['mb_s']:.1f} MB/s "
                     f"({best_hf}, the faster set-up): {ratio:.1f}×",
                     "met" if ratio >= 2 else "not met"])
    rows += encoding_targets(run)
    rows += batch_targets(run)
    loading = loading_summary(run)
    if "wrenmark" in loading:
        load_ms = median(loading["wrenmark"]) / 1e6
        rows.append(["from_pretrained of a 32k model < 50 ms", f"{load_ms:.1f} ms (median)",
                     "met" if load_ms < 50 else "not met"])
    return rows


def classic_targets(run: dict) -> list[list[str]]:
    """merge_all_occurrences: training time beside the default mode and the peers, and tokens per
    word beside the best of tokenizers and youtokentome."""
    training = training_summary(run)
    rows = []
    for (system, size), classic in training.items():
        default = training.get(("wrenmark", size))
        if system != CLASSIC or default is None:
            continue
        # The two modes train one after the other in every round: the median of the rounds' ratios.
        ratio = median_ratio(classic["wall"], default["wall"])
        rows.append([f"training {size}, merge_all_occurrences: ≤ {CLASSIC_TIME_RATIO} × the default mode's time",
                     f"{seconds(median(classic['wall']))} vs {seconds(median(default['wall']))} (median of the "
                     f"per-round ratios): {ratio:.2f}×",
                     "met" if ratio <= CLASSIC_TIME_RATIO else "not met"])
        peers = [(peer, median(stats["wall"])) for (peer, peer_size), stats in training.items()
                 if peer_size == size and not is_ours(peer)]
        if peers:
            fastest = min(peers, key=lambda item: item[1])
            ratio = median(classic["wall"]) / fastest[1]
            rows.append([f"training {size}, merge_all_occurrences: below every peer",
                         f"fastest peer {fastest[0]} {seconds(fastest[1])}: {ratio:.2f}×",
                         "met" if ratio < 1 else "not met"])
    for entry in run.get("quality", []):
        systems = entry["systems"]
        peers = {peer: systems[peer]["tokens"] for peer in QUALITY_PEERS if peer in systems}
        if CLASSIC not in systems or not peers:
            continue
        best = min(peers, key=peers.get)
        words = entry["text"]["words"]
        ratio = systems[CLASSIC]["tokens"] / peers[best]
        vocab = entry.get("vocab", run["vocab"])
        rows.append([f"quality {entry['corpus']}, {vocab:,}: merge_all_occurrences tokens per word "
                     f"≤ {CLASSIC_QUALITY_RATIO} × the best of {' and '.join(QUALITY_PEERS)}",
                     f"{systems[CLASSIC]['tokens'] / words:.3f} vs {peers[best] / words:.3f} ({best}): {ratio:.3f}×",
                     "met" if ratio <= CLASSIC_QUALITY_RATIO else "not met"])
    return rows


def encoding_targets(run: dict) -> list[list[str]]:
    """The first encode call of a fresh process beside gigatoken's, the warm per-line loop beside
    the baseline module's, and the default mode's times beside the classic mode's."""
    if "encoding" not in run:
        return []
    encoding = encoding_summary(run)
    size = run["encoding"]["text"]["bytes"]
    rate = lambda values_ns: size / median(values_ns) * 1e3  # noqa: E731 (MB/s)
    commit = run["encoding"].get("baseline_commit")
    rows = []
    for mode in MODES:
        ours = encoding.get(mode)
        if ours is None:
            continue
        gigatoken = encoding.get(GIGATOKEN)
        first = first_call_rounds(run)
        if mode in first and GIGATOKEN in first:
            ratio = median_ratio(first[GIGATOKEN], first[mode])
            rows.append([f"one encode of the whole held-out text on a freshly loaded tokenizer, {mode}, ids as a "
                         f"buffer: ≥ {COLD_OVER_GIGATOKEN} × gigatoken's (its own model, one thread)",
                         f"{rate(first[mode]):.1f} vs {rate(first[GIGATOKEN]):.1f} MB/s (first call, "
                         f"{len(first[mode])} rounds of fresh processes, median of the per-round ratios): {ratio:.2f}×",
                         verdict(ratio >= COLD_OVER_GIGATOKEN)])
        elif gigatoken:
            ratio = rate(ours["cold_ns"]) / rate(gigatoken["cold_ns"])
            rows.append([f"one encode of the whole held-out text on a freshly loaded tokenizer, {mode}, ids as a "
                         f"buffer: ≥ {COLD_OVER_GIGATOKEN} × gigatoken's (its own model, one thread)",
                         f"{rate(ours['cold_ns']):.1f} vs {rate(gigatoken['cold_ns']):.1f} MB/s (first call, median "
                         f"of {len(ours['cold_ns'])} processes): {ratio:.2f}×",
                         verdict(ratio >= COLD_OVER_GIGATOKEN)])
        baseline = encoding.get(baseline_of(mode))
        loops = run.get("line_loops", {}).get("encoders", {})
        if mode in loops and baseline_of(mode) in loops:
            mine, theirs = loops[mode], loops[baseline_of(mode)]
            ratio = median([median(b) / median(a) for a, b in zip(mine, theirs)])
            rows.append([f"warm one call per line, {mode}: ≥ {LINES_OVER_BASELINE} × the throughput of the module "
                         f"built at {run['line_loops']['baseline_commit']}",
                         f"{rate([ns for r in mine for ns in r]):.1f} vs {rate([ns for r in theirs for ns in r]):.1f} "
                         f"MB/s ({len(mine)} rounds of fresh processes, median of the per-round ratios): {ratio:.2f}×",
                         verdict(ratio >= LINES_OVER_BASELINE)])
        elif baseline and ours["lines_ns"] and baseline["lines_ns"]:
            # The processes of one round run one after another: the ratio within each round, then
            # their median, as for batches, so that a slow spell of the machine falls on both.
            ratio = median([median(theirs) / median(mine) for mine, theirs in
                            zip(ours["lines_by_process"], baseline["lines_by_process"]) if mine and theirs])
            rows.append([f"warm one call per line, {mode}: ≥ {LINES_OVER_BASELINE} × the throughput of the module "
                         f"built at {commit}", f"{rate(ours['lines_ns']):.1f} vs {rate(baseline['lines_ns']):.1f} "
                         f"MB/s (median of the per-round ratios): {ratio:.2f}×", verdict(ratio >= LINES_OVER_BASELINE)])
    # The default mode beside the classic one: within each round of fresh processes where the run
    # has them, else the medians of the encoding section.
    default, classic = encoding.get("wrenmark"), encoding.get(CLASSIC)
    first = first_call_rounds(run)
    loops = run.get("line_loops", {}).get("encoders", {})
    rounds_of = {"cold_ns": {name: [[ns] for ns in times] for name, times in first.items()}, "lines_ns": loops}
    for what, key in [("the whole text, first call", "cold_ns"), ("warm one call per line", "lines_ns")]:
        paired = rounds_of[key]
        if "wrenmark" in paired and CLASSIC in paired:
            ratio = median([median(a) / median(b) for a, b in zip(paired["wrenmark"], paired[CLASSIC])])
            mine, theirs = ([ns for r in paired[name] for ns in r] for name in ("wrenmark", CLASSIC))
            measured = f"{seconds(median(mine))} vs {seconds(median(theirs))} (median of the per-round ratios)"
        elif default and classic and default[key] and classic[key]:
            ratio = median(default[key]) / median(classic[key])
            measured = f"{seconds(median(default[key]))} vs {seconds(median(classic[key]))}"
        else:
            continue
        rows.append([f"encoding {what}: the default-mode model's time ≤ {DEFAULT_OVER_CLASSIC_TIME} × the "
                     "classic-mode model's", f"{measured}: {ratio:.2f}×", verdict(ratio <= DEFAULT_OVER_CLASSIC_TIME)])
    return rows


def batch_targets(run: dict) -> list[list[str]]:
    """encode_batch beside the one-thread loop and gigatoken's encode_batch, and the default mode
    beside the classic one, from bench/batch_encoding.py's rounds: medians of per-round ratios."""
    batch = run.get("batch_encoding")
    if not batch:
        return []
    rounds, modes = batch["rounds"], batch["modes"]
    rate = lambda label: batch["megabytes"] / median(rounds[label])  # noqa: E731 (MB/s)
    per_round = lambda slower, faster: median_ratio(rounds[slower], rounds[faster])  # noqa: E731
    threads = f"{batch['threads']} threads"
    rows = []
    for mode, labels in modes.items():
        ratio = per_round(labels["loop"], labels["batch"])
        rows.append([f"encode_batch of the lines on {threads}, {mode}: ≥ {BATCH_OVER_LOOP} × the one-thread loop",
                     f"{rate(labels['batch']):.1f} vs {rate(labels['loop']):.1f} MB/s: {ratio:.2f}×",
                     verdict(ratio >= BATCH_OVER_LOOP)])
        if batch.get("gigatoken"):
            ratio = per_round(batch["gigatoken"], labels["batch"])
            rows.append([f"encode_batch of the lines on {threads}, {mode}: ≥ {BATCH_OVER_GIGATOKEN} × gigatoken's "
                         "encode_batch (its own model, parallel)",
                         f"{rate(labels['batch']):.1f} vs {rate(batch['gigatoken']):.1f} MB/s: {ratio:.2f}×",
                         verdict(ratio >= BATCH_OVER_GIGATOKEN)])
    if "wrenmark" in modes and CLASSIC in modes:
        ratio = per_round(modes["wrenmark"]["batch"], modes[CLASSIC]["batch"])
        rows.append([f"encode_batch of the lines: the default-mode model's time ≤ {DEFAULT_OVER_CLASSIC_TIME} × the "
                     "classic-mode model's", f"{seconds(median(rounds[modes['wrenmark']['batch']]) * 1e9)} vs "
                     f"{seconds(median(rounds[modes[CLASSIC]['batch']]) * 1e9)}: {ratio:.2f}×",
                     verdict(ratio <= DEFAULT_OVER_CLASSIC_TIME)])
    return rows


def naive_targets(run: dict) -> list[list[str]]:
    """train() at 1 GB in both merge modes beside the textbook loop and the naive loop written for
    speed, and its peak memory; none for a run without the naive loop."""
    training = training_summary(run)
    loops = [("textbook_count", "the textbook one-core word count (stream extraction)"),
             ("naive_count", "the naive one-core word count written for speed")]
    rows = []
    for system in ["wrenmark", CLASSIC]:
        stats = training.get((system, LARGE_SIZE))
        if stats is None or not naive_summary(run).get(LARGE_SIZE):
            continue
        for loop, name in loops:
            naive = naive_summary(run, loop).get(LARGE_SIZE)
            if not naive:
                continue
            ratio = naive_ratio(run, system, LARGE_SIZE, loop)
            rows.append([f"training {LARGE_SIZE}, 32k, {system}: train() ≤ {NAIVE_RATIO} × {name}",
                         f"{seconds(median(stats['wall']))} vs {seconds(median(naive))} (median of the per-round "
                         f"ratios): {ratio:.2f}×",
                         "met" if ratio <= NAIVE_RATIO else "not met"])
        rows.append([f"training {LARGE_SIZE}, 32k, {system}: peak memory no higher than today's "
                     f"{mib(PEAK_RSS_BEFORE_KIB)}",
                     mib(stats["rss"]), "met" if stats["rss"] <= PEAK_RSS_BEFORE_KIB else "not met"])
    return rows


# --- tables --------------------------------------------------------------------------------------


def table(header: list[str], rows: list[list[str]]) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    return "\n".join(lines)


def training_table(run: dict) -> str:
    rows = []
    ratio_cell = lambda ratio: "-" if ratio is None else f"{ratio:.2f}"  # noqa: E731
    for (system, size), stats in training_summary(run).items():
        rows.append([
            size, system, spread(stats["wall"]),
            f"{median(stats['wall']) / stats['bytes']:.1f}", ratio_cell(naive_ratio(run, system, size)),
            ratio_cell(naive_ratio(run, system, size, "textbook_count")),
            seconds(median(stats["cpu"])), mib(stats["rss"]), stats["vocab"], len(stats["wall"]),
        ])
    for loop, name in [("naive_count", NAIVE), ("textbook_count", TEXTBOOK)]:
        for entry in run.get(loop, []):
            runs = entry["runs"]
            walls = [r["wall_ns"] for r in runs]
            naive = naive_summary(run).get(entry["corpus"])
            textbook = naive_summary(run, "textbook_count").get(entry["corpus"])
            rows.append([
                entry["corpus"], name, spread(walls), f"{median(walls) / entry['corpus_bytes']:.1f}",
                ratio_cell(median(walls) / median(naive) if naive else None),
                ratio_cell(median(walls) / median(textbook) if textbook else None),
                seconds(median([r["cpu_ns"] for r in runs])), mib(median([r["peak_rss_kib"] for r in runs])),
                f"{runs[-1]['distinct_words']:,} words", len(runs),
            ])
    return table(["corpus", "system", "train wall time: median (spread)", "ms per MB", "× naive loop",
                  "× textbook loop", "CPU time", "peak RSS", "vocab", "runs"], rows)


def phase_table(run: dict) -> str:
    rows = []
    names = [("vocab_builder", "vocab builder (split, count, occurrence sets)"), ("initial_pairs", "initial pairs")]
    for (system, size), stats in training_summary(run).items():
        if not is_ours(system):
            continue
        row = [size, system]
        for key, _ in names:
            row.append(spread([p[key] for p in stats["phases"] if key in p]))
        rest = [wall - sum(p.values()) for wall, p in zip(stats["wall"], stats["phases"])]
        row += [spread(rest), spread(stats["wall"])]
        rows.append(row)
    return table(["corpus", "system"] + [label for _, label in names]
                 + ["reading + merge loop + saving", "train()"], rows)


def encoding_table(run: dict) -> str:
    rows = []
    for name, stats in encoding_summary(run).items():
        rows.append([
            name, throughput(stats["bytes"] / 1e6, stats["encode_ns"]),
            throughput(stats["bytes"] / 1e6, stats["lines_ns"]) if stats["lines_ns"] else "-",
            throughput(stats["tokens"] / 1e6, stats["encode_ns"]),
            f"{stats['bytes'] / median(stats['cold_ns']) * 1e3:.1f}",
            throughput(stats["decoded_bytes"] / 1e6, stats["decode_ns"]),
            f"{stats['tokens']:,}", ids_agreement(stats),
        ])
    return table(["encoder", "encode MB/s", "one call per line MB/s", "encode M tokens/s", "first call MB/s",
                  "decode MB/s", "tokens", "ids equal to wrenmark's"], rows)


def ids_agreement(stats: dict) -> str:
    """Against wrenmark's ids, or against those of the row of the model that the encoder loads."""
    cells = ["yes" if stats["same_ids"] else "no"]
    cells += [f"{'yes' if same else 'no'} to {name}'s" for name, same in stats["same_ids_as"].items()
              if name != "wrenmark"]
    return "; ".join(cells)


def batch_table(batch: dict) -> str:
    rows = [[label, f"{batch['megabytes'] / median(times):.1f}", f"{batch['times_the_loop'][label]:.2f}"]
            for label, times in batch["rounds"].items()]
    return table(["encoder", "MB/s (median of the rounds)", "× wrenmark's one-thread loop"], rows)


def steal_sentence(share: float | None) -> str:
    """The hypervisor's share of the CPUs while the batch rounds ran, when the run recorded it."""
    if share is None:
        return ""
    return (f" While the rounds ran, the hypervisor took {share:.1%} of the virtual CPUs' time (steal time, "
            "/proc/stat): a thread of encode_batch that the host stops holds up the whole batch until it runs "
            "again, while the one-thread loop loses only the time of its own CPU, so steal lowers the "
            "batch-over-loop ratios.")


def batch_section(run: dict) -> list[str]:
    batch = run.get("batch_encoding")
    if not batch:
        return []
    round_count = len(next(iter(batch["rounds"].values())))
    return [
        "## Batch encoding",
        "",
        f"bench/batch_encoding.py on the held-out lines ({batch['lines']:,} lines, {batch['megabytes']:.1f} MB, "
        f"with the models of the encoding section): each row runs once per round, {round_count} "
        "rounds interleaved after one warm-up call each, so every figure is warm and in wall-clock time. The "
        "loops are one thread (`encode(line)` for each line); encode_batch runs on "
        f"{batch['threads']} threads (wrenmark's pool, one thread per core; tokenizers and gigatoken with "
        "RAYON_NUM_THREADS set to that number, gigatoken's default on this machine). `tokenizers encode_batch` has "
        "wrenmark's merges (the same-merges set-up of the encoding section), gigatoken its own model. Ratios in the "
        "targets are medians of the per-round ratios." + steal_sentence(batch.get("steal_share")),
        "",
        batch_table(batch),
        "",
    ]


def loading_table(run: dict) -> str:
    rows = [[name, spread(values), seconds(values[0])] for name, values in loading_summary(run).items()]
    return table(["model", "load time: median (spread)", "first load"], rows)


def quality_table(run: dict) -> str:
    rows = []
    for entry in run["quality"]:
        text = entry["text"]
        for system, stats in entry["systems"].items():
            rows.append([entry["corpus"], f"{entry.get('vocab', run['vocab']):,}", system, f"{stats['tokens']:,}",
                         f"{stats['tokens'] / text['words']:.3f}", f"{stats['tokens'] / text['bytes']:.4f}"])
    return table(["trained on", "vocab", "system", "tokens", "tokens per word", "tokens per byte"], rows)


# --- the plot ------------------------------------------------------------------------------------


def plot(run: dict, path: Path) -> bool:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as pyplot
    except ImportError:
        return False
    by_system: dict[str, list[tuple[float, float]]] = {}
    for (system, _), stats in training_summary(run).items():
        by_system.setdefault(system, []).append((stats["bytes"] / 1e6, median(stats["wall"]) / 1e9))
    figure, axes = pyplot.subplots(figsize=(7, 5))
    for system, points in by_system.items():
        points.sort()
        axes.plot([p[0] for p in points], [p[1] for p in points], marker="o", label=system)
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xlabel("corpus size (MB)")
    axes.set_ylabel("training wall time (s), median")
    axes.set_title(f"BPE training, vocabulary {run['vocab']:,}, {run['cores']} cores")
    axes.grid(True, which="both", alpha=0.3)
    axes.legend()
    figure.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=100)
    return True


# --- the document --------------------------------------------------------------------------------


def repetitions_note(run: dict) -> str:
    repeats = run.get("repeats")
    if not repeats or repeats.get("peers_largest") in (None, repeats["largest"]):
        return ""
    return (f" Repetitions: {repeats['default']} per system below 1 GB; at 1 GB and more, {repeats['largest']} for "
            f"wrenmark's modes and {repeats['peers_largest']} for each peer, the slow trainings there, to keep "
            "the run short.")


def document(run: dict, plot_link: str | None) -> str:
    load_before, load_after = run["load_average_before"][0], run["load_average_after"][0]
    versions = ", ".join(f"{name} {version}" for name, version in run["peer_versions"].items())
    encoding = run["encoding"]
    text = encoding["text"]
    parts = [
        "# Benchmark results",
        "",
        "Written by `make bench` (bench/corpus.py makes the corpora, bench/compare.py measures training, "
        "encoding, loading and quality, bench/batch_encoding.py measures encode_batch, then bench/report.py "
        "writes this file; bench/scaling.py runs after it, into bench/results/scaling-*.json); do not edit by "
        "hand: the profiling notes at the end come from bench/profile-notes.md. The peers live in bench/.venv "
        "(scripts/setup_bench_venv.sh, bench/requirements-peers.txt), beside a copy of the module that "
        "`make build` installed into .venv.",
        "",
        f"Run `{run['label']}` of {run['started']}, commit {run['commit']}, {run['cpu']}, "
        f"{run['cores']} cores, CPython {run['python']}; peers: {versions}"
        + (f"; not installed: {', '.join(run['not_installed'])}" if run["not_installed"] else "")
        + f". The run took {run['duration_s'] / 60:.1f} min. Load average (1 min) before and after: "
        f"{load_before:.2f} and {load_after:.2f}: the machine's two cores were shared with other "
        "work, so wall times carry noise; the repetitions go round the systems in turn so that it "
        "falls on all of them alike.",
        "",
        "## Targets",
        "",
        table(["target", "measured (same run)", "verdict"], targets(run)),
        "",
        "## Training",
        "",
        f"Vocabulary {run['vocab']:,}, white-space pre-tokenization, \"</w>\" as the end-of-word "
        "marker (wrenmark-classic: wrenmark with `merge_all_occurrences` set, classic BPE merges; "
        "tokenizers: BpeTrainer with end_of_word_suffix \"</w>\" and WhitespaceSplit, no "
        "progress bar; sentencepiece: model_type bpe, 2 threads, character_coverage 1.0; "
        "youtokentome: 2 threads, coverage 1.0; gigatoken: train_bpe on the file as one document, "
        "byte-level, GPT-2 style pre-tokenization (letters, digits and punctuation apart, a "
        "leading blank kept with the word), 256 byte tokens in the vocabulary; rustbpe: "
        "train_from_iterator over the file's lines, byte-level, its default GPT-4 split pattern). "
        f"The {NAIVE} row is the yardstick of the `× naive loop` column, run in every round of "
        "the same run on the same corpus, after that round's trainings (each ratio in these columns "
        "is the median of the per-round ratios): bench/naive_count/naive_word_count.cpp, one thread, "
        "reads the file with std::ifstream in chunks of 16 MiB, splits it on the six ASCII "
        "white-space bytes (a word cut by a chunk end carried over), and counts every word in an "
        "absl::flat_hash_map<std::string, uint64_t>, looked up by string_view (so a word already "
        "seen allocates nothing) and inserted as a std::string when new; its time is that loop's, "
        "from opening the file to the last count, without writing anything. "
        f"The {TEXTBOOK} row, the yardstick of the `× textbook loop` column, is the same count as "
        "the shortest program writes it, run beside the naive loop in every round: "
        "bench/naive_count/textbook_word_count.cpp, `while (file >> word) ++counts[word];` with a "
        "std::ifstream, a std::string and an absl::flat_hash_map<std::string, uint64_t> (the "
        "stream splits on white space, and every word is read into the string and looked up as it). "
        "Each training is a child process; its time covers "
        "the train call and writing the model files; peak RSS is the child's, from wait4. The "
        "corpora repeat one pool of text (bench/corpus.py), so past the pool's size the distinct "
        "words stop growing and only counting grows with the corpus: time per MB falls with size "
        "for every system."
        + (f" Left out: {', '.join(run['skipped'])}." if run["skipped"] else "")
        + repetitions_note(run),
        "",
        training_table(run),
        "",
        (f"![training time against corpus size]({plot_link})" if plot_link else
         "(matplotlib is missing: no plot)"),
        "",
        "wrenmark's phases (from its timing lines; the rest is reading the corpus, the merge loop "
        "and writing the model):",
        "",
        phase_table(run),
        "",
        "## Encoding and decoding",
        "",
        f"The merges that wrenmark learnt on the {encoding['model']} corpus, applied to the held-out "
        f"text ({text['bytes']:,} bytes, {text['words']:,} words; the {text['lines_dropped']} lines "
        "holding a character that the corpus lacks are left out, since wrenmark refuses unseen "
        "characters). Every figure here is one thread (RAYON_NUM_THREADS=1) in a child process of its own "
        "(bench/child.py). `encode MB/s` is warm: the whole text in one call, median over the calls that follow "
        "the first in all processes, spread in brackets. `first call MB/s` is cold: the first encode of the "
        "process, right after loading the model (gigatoken keeps a cache across calls and tokenizer objects, "
        "so only its first call is cold), median over the processes. `one call per line` is warm: a loop over "
        "the text's lines, one encode call each, after the whole-text calls. "
        "wrenmark's ids are taken as a buffer (`Encoder.ids_buffer`) in the whole-text calls and as `.ids` in "
        "the per-line loop; gigatoken returns numpy arrays. "
        "`wrenmark-classic` encodes with wrenmark's model of the same corpus trained with "
        "`merge_all_occurrences` (other merges, so other ids). "
        + (f"`{BASELINE}` is the module as built from commit {encoding['baseline_commit']} "
           "(scripts/setup_bench_venv.sh builds it into bench/.venv/baseline-site) with the same model as the "
           "row it is named after, its ids taken as `.ids` (that commit has no ids_buffer); its ids are checked "
           "against that row's. " if encoding.get("baseline_commit") else "")
        + "`tokenizers (same merges)` has our vocabulary, ids and merge list, with the "
        "end-of-word marker as a character that a Replace normalizer appends to each word, so it "
        "yields our ids exactly; `tokenizers (suffix </w>)` is the usual set-up (WhitespaceSplit, "
        "end_of_word_suffix \"</w>\") with the merges carried over, which ends some words in one "
        "token fewer; tiktoken gets byte-level ranks in our merge order, splitting the text into words with "
        "the blank after each (`\\S+ ?|\\s+`, bench/convert.py), and is indicative only. "
        "The byte-level peers also encode with their own 32k models of the same corpus (gigatoken "
        "with its own, loaded through from_tiktoken with the \"gpt2\" pre-tokenizer it trained "
        "with; tiktoken with rustbpe's ranks and pattern): other vocabularies, so other ids and "
        "token counts.",
        "",
        encoding_table(run),
        "",
        *first_call_section(run),
        *batch_section(run),
        "## Loading a model",
        "",
        f"Models of vocabulary {run['vocab']:,} trained on {run['loading']['model']}; each loaded "
        "ten times per process in several processes.",
        "",
        loading_table(run),
        "",
        "## Quality",
        "",
        "Each trainer's own vocabulary of the same size, encoding the held-out text (characters "
        "known to the corpus only). The vocabularies of the timed trainings, and those of one more "
        "training per system at each size of `--quality-vocabs` (corpora below 1 GB).",
        "",
        quality_table(run),
        "",
    ]
    if NOTES.is_file():
        parts += [NOTES.read_text(encoding="utf-8").rstrip(), ""]
    return "\n".join(parts)


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("run", type=Path)
    parser.add_argument("--output", type=Path, default=RESULTS_MD)
    parser.add_argument("--plot", type=Path, default=PLOT)
    parser.add_argument("--batch", type=Path, help="the JSON report of bench/batch_encoding.py of the same run")
    args = parser.parse_args(argv)
    run = json.loads(args.run.read_text())
    if args.batch:
        run["batch_encoding"] = json.loads(args.batch.read_text())
    plotted = plot(run, args.plot)
    link = os.path.relpath(args.plot, args.output.parent) if plotted else None
    args.output.write_text(document(run, link), encoding="utf-8")
    print("\n".join(["| target | measured | verdict |", "|---|---|---|"]
                    + ["| " + " | ".join(row) + " |" for row in targets(run)]))


if __name__ == "__main__":
    sys.exit(main())
