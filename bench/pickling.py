"""Pickling a trained tokenizer against loading the same model with from_pretrained.

    python bench/pickling.py [--corpus bench/data/corpus-10MB.txt] [--vocab 32000] [--repeat 9]

Trains one model on the corpus (bench/corpus.py makes it) and saves it into a temporary
directory, then times, in interleaved rounds, from_pretrained of that directory, pickle.dumps
of the tokenizer and pickle.loads of its bytes, and checks that the unpickled tokenizer saves
the same files. Each figure is the median of the rounds in wall-clock time; the first encode
after either is not included (both derive the encoding tables on first use alike). Wall-clock
and CPU time of this process are both given; on a shared machine the second is the steadier.
Writes a JSON report with --output.
"""

import argparse
import json
import os
import pickle
import statistics
import sys
import tempfile
import time
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[1]


def model_bytes(directory: Path) -> dict[str, bytes]:
    return {path.name: path.read_bytes() for path in sorted(directory.iterdir())}


def interleaved_medians(functions: dict, repeat: int) -> tuple[dict, dict]:
    """Runs every function once per round, so that a slow spell of the machine hits all rows alike.
    Returns each row's median wall-clock seconds and median CPU seconds of this process (the
    latter less disturbed by other work on a shared machine)."""
    for function in functions.values():
        function()
    wall = {label: [] for label in functions}
    cpu = {label: [] for label in functions}
    for _ in range(repeat):
        for label, function in functions.items():
            start, start_cpu = time.perf_counter(), time.process_time()
            function()
            wall[label].append(time.perf_counter() - start)
            cpu[label].append(time.process_time() - start_cpu)
    return ({label: statistics.median(row) for label, row in wall.items()},
            {label: statistics.median(row) for label, row in cpu.items()})


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--corpus", default=str(REPO_ROOT / "bench" / "data" / "corpus-10MB.txt"))
    parser.add_argument("--vocab", type=int, default=32000)
    parser.add_argument("--repeat", type=int, default=9)
    parser.add_argument("--output")
    arguments = parser.parse_args()

    import wrenmark

    with tempfile.TemporaryDirectory() as work:
        model_dir = Path(work) / "model"
        trained = wrenmark.BpeTokenizer(arguments.corpus, arguments.vocab, wrenmark.PreTokenization.whitespace(),
                                        ["<s>", "</s>"], wrenmark.SpecialTokenRemovalMethod.aho_corasick(),
                                        True, str(model_dir))
        print("training...", file=sys.stderr, flush=True)
        trained.train()
        loaded = wrenmark.BpeTokenizer.from_pretrained(str(model_dir))
        pickled = pickle.dumps(loaded, protocol=pickle.HIGHEST_PROTOCOL)
        unpickled = pickle.loads(pickled)
        unpickled.save(str(Path(work) / "again"))
        assert model_bytes(Path(work) / "again") == model_bytes(model_dir), "the unpickled tokenizer saves other files"
        assert pickle.dumps(unpickled, protocol=pickle.HIGHEST_PROTOCOL) == pickled, "pickling is not deterministic"
        files_size = sum(len(data) for data in model_bytes(model_dir).values())

        seconds, cpu_seconds = interleaved_medians({
            "from_pretrained": lambda: wrenmark.BpeTokenizer.from_pretrained(str(model_dir)),
            "pickle.dumps": lambda: pickle.dumps(loaded, protocol=pickle.HIGHEST_PROTOCOL),
            "pickle.loads": lambda: pickle.loads(pickled),
        }, arguments.repeat)

    print(f"vocabulary {loaded.vocab_size:,}, {loaded.merge_count:,} merges; model files {files_size:,} bytes, "
          f"pickle {len(pickled):,} bytes; load average {os.getloadavg()[0]:.2f}")
    print(f"  {'':<18} {'wall ms':>9} {'CPU ms':>9}")
    for label in seconds:
        print(f"  {label:<18} {seconds[label] * 1e3:9.2f} {cpu_seconds[label] * 1e3:9.2f}")
    for name, row in (("wall", seconds), ("CPU", cpu_seconds)):
        round_trip = row["pickle.dumps"] + row["pickle.loads"]
        print(f"  dumps + loads, {name}: {round_trip * 1e3:.2f} ms = "
              f"{round_trip / row['from_pretrained']:.2f}x from_pretrained")
    if arguments.output:
        Path(arguments.output).write_text(json.dumps({
            "vocab_size": loaded.vocab_size, "merge_count": loaded.merge_count, "model_file_bytes": files_size,
            "pickle_bytes": len(pickled), "wall_seconds": seconds, "cpu_seconds": cpu_seconds,
            "load_average": os.getloadavg()}, indent=2))


if __name__ == "__main__":
    main()
