"""Training on the scaling corpora, whose distinct words keep growing with their size: time,
throughput of wrenmark's vocabulary builder and peak memory, for wrenmark and its peers side by
side, one child process per training.

    python bench/scaling.py --sizes 100MB 1GB 4GB [--systems wrenmark tokenizers] [--skip SYSTEM@SIZE ...]
        [--remove-after]

Writes bench/results/scaling-{label}.json and prints a Markdown table. With --remove-after the
corpora are deleted once measured (the 10 GB one of `make stress` does not stay on disk).
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import sys
from datetime import datetime, UTC
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import compare  # noqa: E402
import corpus  # noqa: E402

MIB = 1024 * 1024


def row(size_label: str, system: str, run: dict, corpus_bytes: int) -> dict:
    phases = run.get("phases_ns", {})
    vocab_ns = phases.get("vocab_builder")
    return {
        "corpus": size_label,
        "system": system,
        "corpus_bytes": corpus_bytes,
        "train_s": run["train_ns"] / 1e9,
        "cpu_s": run["cpu_ns"] / 1e9,
        "peak_rss_mib": run["peak_rss_kib"] / 1024,
        "vocab_builder_s": vocab_ns / 1e9 if vocab_ns else None,
        "vocab_builder_mb_per_s": corpus_bytes / 1e6 / (vocab_ns / 1e9) if vocab_ns else None,
        "vocab_reached": run.get("vocab_reached"),
        "phases_ns": phases,
    }


def markdown(rows: list[dict]) -> str:
    lines = ["| corpus | system | train() | vocab builder | vocab builder MB/s | CPU time | peak RSS |",
             "|---|---|---|---|---|---|---|"]
    for entry in rows:
        builder = f"{entry['vocab_builder_s']:.2f} s" if entry["vocab_builder_s"] else "–"
        speed = f"{entry['vocab_builder_mb_per_s']:.0f}" if entry["vocab_builder_mb_per_s"] else "–"
        lines.append(f"| {entry['corpus']} | {entry['system']} | {entry['train_s']:.2f} s | {builder} | {speed} | "
                     f"{entry['cpu_s']:.1f} s | {entry['peak_rss_mib']:.0f} MiB |")
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", nargs="+", default=["100MB", "1GB", "4GB"])
    parser.add_argument("--systems", nargs="+", default=["wrenmark", "tokenizers"])
    parser.add_argument("--vocab", type=int, default=32000)
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--remove-after", action="store_true")
    parser.add_argument("--skip", nargs="*", default=[], metavar="SYSTEM@SIZE",
                        help="trainings left out, e.g. tokenizers@4GB")
    args = parser.parse_args(argv)
    skip = {tuple(item.split("@")) for item in args.skip}

    sizes = [corpus.parse_size(text) for text in args.sizes]
    systems = [system for system in args.systems if compare.installed(system)]
    rows = []
    for size in sizes:
        path = corpus.prepare_scaling([size])[0]
        label = corpus.size_label(size)
        for repetition in range(args.repeat):
            for system in systems:
                if (system, label) in skip:
                    compare.log(f"scaling {label} {system}: left out (--skip)")
                    continue
                out = compare.model_dir(f"scaling-{label}", system)
                shutil.rmtree(out, ignore_errors=True)
                run = compare.run_child("train", {"system": system, "corpus": str(path), "vocab": args.vocab,
                                                  "out_dir": str(out)})
                rows.append(row(label, system, run, path.stat().st_size))
                compare.log(f"scaling {label} {system} #{repetition + 1}: {rows[-1]['train_s']:.2f} s, "
                            f"{rows[-1]['peak_rss_mib']:.0f} MiB, load {os.getloadavg()[0]:.1f}")
                shutil.rmtree(out, ignore_errors=True)
        if args.remove_after:
            path.unlink()
    report = {"started": datetime.now(UTC).isoformat(timespec="seconds"), **compare.machine_facts(),
              "vocab": args.vocab, "scaling_every": corpus.SCALING_EVERY, "rows": rows, "skipped": sorted(args.skip),
              "load_average_after": os.getloadavg()}
    compare.RESULTS_DIR.mkdir(parents=True, exist_ok=True)
    name = "scaling-" + "-".join(corpus.size_label(size) for size in sizes) + ".json"
    (compare.RESULTS_DIR / name).write_text(json.dumps(report, indent=1) + "\n")
    print(markdown(rows))


if __name__ == "__main__":
    main()
