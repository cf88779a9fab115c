"""Measures wrenmark beside tokenizers, sentencepiece, youtokentome, gigatoken, rustbpe and tiktoken
in one run, and beside a naive C++ word count.

    bench/.venv/bin/python bench/compare.py --sizes 10MB 100MB 1GB --repeat 3

expects the corpora of bench/corpus.py and a bench/.venv made by scripts/setup_bench_venv.sh.
Every measurement runs in a child process of its own (bench/child.py), whose peak resident set
the parent reads from wait4. The repetitions go round the systems in turn, so that other work on
the machine falls on all of them alike. Writes bench/results/run-LABEL-*.json and latest-LABEL.json.

Steps: training at every size (wall time, wrenmark's phases, peak memory), each round of the
trainers also running the naive loop of bench/naive_count on the same corpus, the yardstick of
every training time (built by scripts/setup_bench_venv.sh; left out with a note where it is not
built); encoding and
decoding the held-out text with the merges that wrenmark learnt on the middle size (100MB in the
full run), by wrenmark and the peers' encoders loaded with those merges, and by the byte-level peers with
their own models of the same corpus (gigatoken; tiktoken with rustbpe's), each as one call on the
whole text and as one call per line; the same with wrenmark-classic's model of that corpus, and
with the module as built from the baseline commit (bench/.venv/baseline-site, its own child
processes) loading either model; loading a model;
tokens per word and per byte of the held-out text under every trained vocabulary, and under the
vocabularies of --quality-vocabs (one more training per system and size below 1 GB). wrenmark
trains twice: as it is, and as wrenmark-classic, with `merge_all_occurrences` set.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from datetime import datetime, UTC
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import convert  # noqa: E402
import corpus  # noqa: E402
import train_phases  # noqa: E402

REPO_ROOT = corpus.REPO_ROOT
BENCH_DIR = REPO_ROOT / "bench"
WORK_DIR = corpus.DATA_DIR / "work"
RESULTS_DIR = BENCH_DIR / "results"
CHILD = BENCH_DIR / "child.py"

PEER_MODULES = {
    "tokenizers": "tokenizers",
    "sentencepiece": "sentencepiece",
    "youtokentome": "youtokentome",
    "tiktoken": "tiktoken",
    "gigatoken": "gigatoken",
    "rustbpe": "rustbpe",
}
NAIVE_COUNT = BENCH_DIR / ".venv" / "naive-count" / "naive_word_count"
# The same count as a textbook writes it (stream extraction into a std::string per word).
TEXTBOOK_COUNT = BENCH_DIR / ".venv" / "naive-count" / "textbook_word_count"
# wrenmark as built from an earlier commit, for the per-line loop to be measured against (built
# by scripts/setup_bench_venv.sh, which writes the commit into the stamp file).
BASELINE_SITE = BENCH_DIR / ".venv" / "baseline-site"
BASELINE_STAMP = BASELINE_SITE / ".built-from"
# Peers whose own model of the middle size is encoded too: {encoder name: (loader, trainer)}.
OWN_MODEL_ENCODERS = {
    "gigatoken (own model)": ("gigatoken", "gigatoken"),
    "tiktoken (rustbpe's model)": ("rustbpe", "rustbpe"),
}
# Single-threaded encoding: rayon (tokenizers) and the OpenMP-free peers get one thread.
SINGLE_THREAD_ENV = {"RAYON_NUM_THREADS": "1", "TOKENIZERS_PARALLELISM": "false", "OMP_NUM_THREADS": "1"}


def log(message: str) -> None:
    print(f"[{datetime.now():%H:%M:%S}] {message}", file=sys.stderr, flush=True)


def installed(system: str) -> bool:
    return system.startswith("wrenmark") or importlib.util.find_spec(PEER_MODULES[system]) is not None


def run_child(task: str, arguments: dict, env: dict | None = None) -> dict:
    """Runs one measurement; returns its result with the child's peak RSS, wall time and output."""
    with tempfile.TemporaryDirectory() as scratch:
        result_path = Path(scratch) / "result.json"
        with open(Path(scratch) / "out", "w+b") as out, open(Path(scratch) / "err", "w+b") as err:
            start = time.perf_counter_ns()
            child = subprocess.Popen(
                [sys.executable, str(CHILD), task, str(result_path), json.dumps(arguments)],
                stdout=out, stderr=err, cwd=REPO_ROOT, env={**os.environ, **(env or {})},
            )
            _, status, usage = os.wait4(child.pid, 0)
            process_ns = time.perf_counter_ns() - start
            out.seek(0)
            err.seek(0)
            stdout = out.read().decode("utf-8", errors="replace")
            stderr = err.read().decode("utf-8", errors="replace")
        if os.waitstatus_to_exitcode(status) != 0 or not result_path.is_file():
            raise RuntimeError(f"{task} {arguments} failed:\n{stderr[-3000:]}")
        result = json.loads(result_path.read_text())
    result.update(
        peak_rss_kib=usage.ru_maxrss,
        cpu_ns=int((usage.ru_utime + usage.ru_stime) * 1e9),
        process_ns=process_ns,
    )
    phases = train_phases.parse_timing_lines(stdout)
    if phases:
        result["phases_ns"] = phases
    return result


# --- training ------------------------------------------------------------------------------------


def model_dir(size_label: str, system: str, vocab: int | None = None) -> Path:
    """Where a system's model of one corpus lives; `vocab` names the models of the extra quality sizes."""
    return WORK_DIR / "models" / size_label / (system if vocab is None else f"{system}-{vocab}")


def model_path(size_label: str, system: str, vocab: int | None = None) -> Path:
    """What a system's loader takes: the model directory, or tokenizers' own file."""
    directory = model_dir(size_label, system, vocab)
    return directory / "tokenizer.json" if system == "tokenizers" else directory


def run_naive_count(corpus_file: Path, program: Path = NAIVE_COUNT) -> dict:
    """A naive loop once on `corpus_file`: its own wall time, the process's CPU time and peak RSS."""
    child = subprocess.Popen([str(program), str(corpus_file)], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(child.pid, 0)
    out, err = child.stdout.read(), child.stderr.read()
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError(f"{program.name} of {corpus_file} failed:\n{err.decode(errors='replace')}")
    result = json.loads(out)
    result.update(peak_rss_kib=usage.ru_maxrss, cpu_ns=int((usage.ru_utime + usage.ru_stime) * 1e9))
    return result


def repetitions(repeats: dict, system: str, label: str) -> int:
    """Training runs of `system` at corpus `label`: `repeats` has them by (system, label), by label
    and by "default", the first found deciding."""
    return repeats.get((system, label), repeats.get(label, repeats["default"]))


def measure_training(sizes: list[int], vocab: int, repeats: dict, systems: list[str],
                     skip: set[tuple[str, str]], naive: dict[str, dict] | None = None,
                     textbook: dict[str, dict] | None = None) -> list[dict]:
    """Trains every system at every size, `repetitions` times; with `naive` (and `textbook`), also
    runs the naive loop (and the textbook loop) in each round and keeps its runs there, by corpus."""
    results = []
    for size in sizes:
        label = corpus.size_label(size)
        path = corpus.corpus_path(size)
        if not path.is_file():
            sys.exit(f"{path} is missing: run bench/corpus.py --sizes {label}")
        entries = {s: {"system": s, "corpus": label, "corpus_bytes": path.stat().st_size,
                       "vocab": vocab, "runs": []}
                   for s in systems if (s, label) not in skip}
        rounds = max((repetitions(repeats, system, label) for system in entries), default=0)
        for repetition in range(rounds):
            for system, entry in entries.items():
                if repetition >= repetitions(repeats, system, label):
                    continue
                out = model_dir(label, system)
                shutil.rmtree(out, ignore_errors=True)
                run = run_child("train", {"system": system, "corpus": str(path), "vocab": vocab,
                                          "out_dir": str(out)})
                entry["runs"].append(run)
                log(f"train {label} {system} #{repetition + 1}: {run['train_ns'] / 1e9:.2f} s, "
                    f"{run['peak_rss_kib'] / 1024:.0f} MiB")
            for loops, program, name in [(naive, NAIVE_COUNT, "naive"), (textbook, TEXTBOOK_COUNT, "textbook")]:
                if loops is None:
                    continue
                run = run_naive_count(path, program)
                loops.setdefault(label, {"corpus": label, "corpus_bytes": path.stat().st_size, "runs": []})
                loops[label]["runs"].append(run)
                log(f"{name} count {label} #{repetition + 1}: {run['wall_ns'] / 1e9:.2f} s")
        results.extend(entries.values())
    return results


# --- encoding ------------------------------------------------------------------------------------


def alphabet_of(model: Path) -> set[str]:
    id_to_token, _ = convert.read_model(model)
    return {token for token in id_to_token if len(token) == 1}


def held_out_within(alphabet: set[str], out: Path,
                    source: Path = corpus.DATA_DIR / corpus.HELD_OUT_NAME) -> dict:
    """Writes the held-out lines whose every character is known to the vocabulary.

    Our encoder refuses a character unseen in training, and the others drop or replace it, so
    every system gets the same text with only known characters.
    """
    lines = source.read_text(encoding="utf-8").split("\n")
    kept = [line for line in lines if all(c in alphabet or c in convert.WHITE_SPACE for c in line)]
    text = "\n".join(kept)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(text, encoding="utf-8")
    return {"path": str(out), "lines": len(kept), "lines_dropped": len(lines) - len(kept),
            "bytes": len(text.encode("utf-8")), "words": len(text.split())}


def baseline_commit() -> str | None:
    """The commit that the baseline module was built from, or None where it is not built."""
    return BASELINE_STAMP.read_text().strip() if BASELINE_STAMP.is_file() else None


def our_encoders(model_label: str, trained: list[str]) -> dict[str, tuple[str, str, str]]:
    """{encoder name: (system, model directory, the name of the encoder whose ids it must give)}:
    wrenmark with the model of each merge mode trained, and the baseline module with the same ones."""
    modes = ["wrenmark"] + (["wrenmark-classic"] if "wrenmark-classic" in trained else [])
    encoders = {mode: (mode, str(model_dir(model_label, mode)), mode) for mode in modes}
    if baseline_commit():
        for mode in modes:
            name = mode.replace("wrenmark", "wrenmark-baseline", 1)
            encoders[name] = ("wrenmark-baseline", str(model_dir(model_label, mode)), mode)
    else:
        log(f"{BASELINE_SITE} is not built (scripts/setup_bench_venv.sh): no baseline to compare with")
    return encoders


def measure_encoding(model_label: str, repeat: int, inner: int, trained: list[str] | None = None) -> dict:
    trained = trained or []
    ours = model_dir(model_label, "wrenmark")
    text = held_out_within(alphabet_of(ours), WORK_DIR / f"heldout-{model_label}.txt")
    peers = convert.write_peer_models(ours, WORK_DIR / "converted" / model_label)
    ours_of_each_mode = our_encoders(model_label, trained)
    encoders = {name: (system, path) for name, (system, path, _) in ours_of_each_mode.items()}
    references = {name: reference for name, (_, _, reference) in ours_of_each_mode.items()}
    for name, path in peers.items():
        system = name.split()[0]
        if installed(system):
            encoders[name] = (system, path)
    for name, (loader, trainer) in OWN_MODEL_ENCODERS.items():
        if trainer in trained:
            encoders[name] = (loader, str(model_dir(model_label, trainer)))
    baseline_env = {**SINGLE_THREAD_ENV, "PYTHONPATH": str(BASELINE_SITE)}
    runs = {name: [] for name in encoders}
    ids_files = {name: WORK_DIR / f"ids-{index}.json" for index, name in enumerate(encoders)}
    for repetition in range(repeat):
        for name, (system, path) in encoders.items():
            run = run_child("encode", {"system": system, "model": path, "text_file": text["path"],
                                       "repeat": inner, "ids_file": str(ids_files[name])},
                            env=baseline_env if system == "wrenmark-baseline" else SINGLE_THREAD_ENV)
            runs[name].append(run)
            log(f"encode {name} #{repetition + 1}: first call {text['bytes'] / run['cold_encode_ns'] * 1e3:.1f} MB/s, "
                f"warm {text['bytes'] / min(run['encode_ns']) * 1e3:.1f} MB/s, "
                f"per line {text['bytes'] / min(run['lines_encode_ns']) * 1e3:.1f} MB/s")
    ids_of = {name: json.loads(path.read_text()) for name, path in ids_files.items()}
    for path in ids_files.values():
        path.unlink()
    # Every encoder is held to wrenmark's ids of the same merges; the other mode's model and the
    # peers' own models give other ids, and the baseline must give the ids of the model it loads.
    agreement = {name: {"same_ids": ids == ids_of["wrenmark"], "tokens": len(ids)} for name, ids in ids_of.items()}
    for name, reference in references.items():
        agreement[name]["same_ids_as"] = {reference: ids_of[name] == ids_of[reference]}
    return {"model": model_label, "text": text, "encoders": runs, "agreement": agreement,
            "baseline_commit": baseline_commit()}


def measure_first_calls(model_label: str, rounds: int, trained: list[str], text_file: str) -> dict:
    """The first encode of a fresh process for both merge modes and gigatoken's own model, in
    rounds that go through the three in turn, so that a ratio can be taken within each round:
    a first call waits on memory, and the other work on the machine shifts its time by more
    than the differences measured."""
    encoders = {mode: ("wrenmark", model_dir(model_label, mode)) for mode in ["wrenmark", "wrenmark-classic"]
                if mode in trained}
    if "gigatoken" in trained and installed("gigatoken"):
        encoders["gigatoken (own model)"] = ("gigatoken", model_dir(model_label, "gigatoken"))
    results: dict[str, dict[str, list[int]]] = {name: {"cold_encode_ns": [], "load_ns": []} for name in encoders}
    for _ in range(rounds):
        for name, (system, path) in encoders.items():
            run = run_child("first_call", {"system": system, "model": str(path), "text_file": text_file},
                            env=SINGLE_THREAD_ENV)
            results[name]["cold_encode_ns"].append(run["cold_encode_ns"])
            results[name]["load_ns"].append(run["load_ns"])
    for name, runs in results.items():
        log(f"first calls {name}: median {statistics.median(runs['cold_encode_ns']) / 1e6:.1f} ms "
            f"over {rounds} processes, loading {statistics.median(runs['load_ns']) / 1e6:.1f} ms")
    return {"model": model_label, "text_file": text_file, "rounds": rounds, "encoders": results}


def measure_line_loops(model_label: str, rounds: int, trained: list[str], text_file: str, inner: int) -> dict:
    """The warm one-call-per-line loop of wrenmark beside the baseline module with the same model,
    for both merge modes, in rounds of fresh processes that go through them in turn: within a
    process the passes of this loop spread by a third and more on a shared machine, so the
    ratio to the baseline is taken within each round."""
    if not baseline_commit():
        return {}
    encoders = {}
    for mode in [mode for mode in ["wrenmark", "wrenmark-classic"] if mode in trained]:
        encoders[mode] = ("wrenmark", model_dir(model_label, mode), SINGLE_THREAD_ENV)
        encoders[mode.replace("wrenmark", "wrenmark-baseline", 1)] = (
            "wrenmark-baseline", model_dir(model_label, mode), {**SINGLE_THREAD_ENV, "PYTHONPATH": str(BASELINE_SITE)})
    results: dict[str, list[list[int]]] = {name: [] for name in encoders}
    for _ in range(rounds):
        for name, (system, path, env) in encoders.items():
            run = run_child("line_loop", {"system": system, "model": str(path), "text_file": text_file,
                                          "repeat": inner}, env=env)
            results[name].append(run["lines_encode_ns"])
    for name, runs in results.items():
        log(f"line loops {name}: median {statistics.median(ns for run in runs for ns in run) / 1e6:.1f} ms "
            f"over {rounds} processes")
    return {"model": model_label, "rounds": rounds, "baseline_commit": baseline_commit(), "encoders": results}


# --- loading -------------------------------------------------------------------------------------


def measure_loading(model_label: str, trained: list[str], repeat: int, inner: int) -> dict:
    converted = WORK_DIR / "converted" / model_label
    models = {"wrenmark": ("wrenmark", model_dir(model_label, "wrenmark"))}
    own = {"tokenizers": "tokenizer.json", "sentencepiece": "", "youtokentome": ""}
    for system, file_name in own.items():
        if system in trained:
            models[f"{system} (own model)"] = (system, model_dir(model_label, system) / file_name)
    if installed("tokenizers"):
        models["tokenizers (same merges)"] = ("tokenizers", converted / "tokenizers-same-merges.json")
    if installed("tiktoken"):
        models["tiktoken (indicative)"] = ("tiktoken", converted / "tiktoken-ranks.json")
    for name, (loader, trainer) in OWN_MODEL_ENCODERS.items():
        if trainer in trained:
            models[name] = (loader, model_dir(model_label, trainer))
    runs = {name: [] for name in models}
    for _ in range(repeat):
        for name, (system, path) in models.items():
            runs[name].append(run_child("load", {"system": system, "model": str(path).rstrip("/"),
                                                 "repeat": inner}))
    for name, name_runs in runs.items():
        fastest = min(min(run["load_ns"]) for run in name_runs)
        log(f"load {name}: fastest {fastest / 1e6:.1f} ms")
    return {"model": model_label, "loaders": runs}


# --- quality -------------------------------------------------------------------------------------


def train_for_quality(size: int, vocab: int, systems: list[str]) -> None:
    """One training per system at a vocabulary size that the timed trainings do not cover."""
    label = corpus.size_label(size)
    for system in systems:
        out = model_dir(label, system, vocab)
        shutil.rmtree(out, ignore_errors=True)
        run = run_child("train", {"system": system, "corpus": str(corpus.corpus_path(size)), "vocab": vocab,
                                  "out_dir": str(out)})
        log(f"train {label} {system} at {vocab} for quality: {run['train_ns'] / 1e9:.2f} s")


def measure_quality(size_label: str, trained: list[str], vocab: int, extra_vocab: bool = False) -> dict:
    models_vocab = vocab if extra_vocab else None
    text = held_out_within(alphabet_of(model_dir(size_label, "wrenmark", models_vocab)),
                           WORK_DIR / f"heldout-{size_label}.txt")
    tokens = {}
    for system in trained:
        run = run_child("encode", {"system": system, "model": str(model_path(size_label, system, models_vocab)),
                                   "text_file": text["path"], "repeat": 1, "lines": False},
                        env=SINGLE_THREAD_ENV)
        tokens[system] = {"tokens": run["tokens"], "encode_ns": run["encode_ns"][0]}
    return {"corpus": size_label, "vocab": vocab, "text": text, "systems": tokens}


# --- the run -------------------------------------------------------------------------------------


def machine_facts() -> dict:
    versions = {}
    for system, module in PEER_MODULES.items():
        if installed(system):
            try:
                from importlib.metadata import version
                versions[system] = version(module)
            except Exception:  # noqa: BLE001 - a version is nice to have
                versions[system] = None
    return {
        "commit": train_phases.git_commit(),
        "python": sys.version.split()[0],
        "cpu": train_phases.cpu_model(),
        "cores": os.cpu_count(),
        "peer_versions": versions,
    }


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", nargs="+", default=["10MB", "100MB", "1GB"])
    parser.add_argument("--vocab", default="32k")
    parser.add_argument("--quality-vocabs", nargs="*", default=["8k"], metavar="VOCAB",
                        help="more vocabulary sizes for the quality table, one untimed training per "
                             "system at each corpus size below 1 GB")
    parser.add_argument("--repeat", type=int, default=3, help="training runs per system and size")
    parser.add_argument("--repeat-largest", type=int, default=1,
                        help="training runs at sizes of 1 GB and more")
    parser.add_argument("--peer-repeat-largest", type=int, default=None,
                        help="training runs of the peers at sizes of 1 GB and more (default: --repeat-largest)")
    parser.add_argument("--skip", nargs="*", default=[], metavar="SYSTEM@SIZE",
                        help="trainings left out, e.g. sentencepiece@1GB")
    parser.add_argument("--encode-repeat", type=int, default=3, help="encoding processes per encoder")
    parser.add_argument("--encode-inner", type=int, default=5, help="encodings per process")
    parser.add_argument("--first-call-rounds", type=int, default=9,
                        help="rounds of fresh processes that make only a first encode call, and of the "
                             "per-line loop beside the baseline module")
    parser.add_argument("--label", default="full")
    args = parser.parse_args(argv)

    sizes = [corpus.parse_size(text) for text in args.sizes]
    labels = [corpus.size_label(size) for size in sizes]
    vocab = train_phases.parse_vocab_count(args.vocab)
    trainers = [system for system in ["wrenmark", "wrenmark-classic", "tokenizers", "sentencepiece", "youtokentome",
                                      "gigatoken", "rustbpe"]
                if installed(system)]
    quality_vocabs = [v for v in (train_phases.parse_vocab_count(text) for text in args.quality_vocabs) if v != vocab]
    skip = {tuple(item.split("@")) for item in args.skip}
    repeats = {"default": args.repeat}
    repeats.update({corpus.size_label(s): args.repeat_largest for s in sizes if s >= 10**9})
    if args.peer_repeat_largest is not None:
        repeats.update({(system, corpus.size_label(s)): args.peer_repeat_largest
                        for s in sizes if s >= 10**9 for system in trainers if not system.startswith("wrenmark")})
    # Encoding and loading use the model of the largest size below 1 GB.
    model_label = corpus.size_label(max((s for s in sizes if s < 10**9), default=min(sizes)))

    started = time.time()
    report = {"label": args.label, "started": datetime.now(UTC).isoformat(timespec="seconds"),
              **machine_facts(), "vocab": vocab, "trainers": trainers,
              "not_installed": [s for s in PEER_MODULES if not installed(s)],
              "skipped": sorted(args.skip), "load_average_before": os.getloadavg(),
              "repeats": {"default": args.repeat, "largest": args.repeat_largest,
                          "peers_largest": args.peer_repeat_largest}}
    log(f"trainers: {', '.join(trainers)}; load average {os.getloadavg()[0]:.2f}")
    naive: dict[str, dict] | None = {} if NAIVE_COUNT.is_file() else None
    if naive is None:
        log(f"{NAIVE_COUNT} is not built (scripts/setup_bench_venv.sh): no naive loop to compare with")
    textbook: dict[str, dict] | None = {} if naive is not None and TEXTBOOK_COUNT.is_file() else None
    report["training"] = measure_training(sizes, vocab, repeats, trainers, skip, naive, textbook)
    report["naive_count"] = list((naive or {}).values())
    report["textbook_count"] = list((textbook or {}).values())
    report["encoding"] = measure_encoding(model_label, args.encode_repeat, args.encode_inner,
                                          [s for s in trainers if (s, model_label) not in skip])
    report["first_calls"] = measure_first_calls(
        model_label, args.first_call_rounds, [s for s in trainers if (s, model_label) not in skip],
        report["encoding"]["text"]["path"])
    report["line_loops"] = measure_line_loops(
        model_label, args.first_call_rounds, [s for s in trainers if (s, model_label) not in skip],
        report["encoding"]["text"]["path"], args.encode_inner)
    report["loading"] = measure_loading(model_label, [s for s in trainers if (s, model_label) not in skip],
                                        args.encode_repeat, 10)
    report["quality"] = [
        measure_quality(label, [s for s in trainers if (s, label) not in skip], vocab) for label in labels
    ]
    for extra in quality_vocabs:
        for size, label in zip(sizes, labels):
            if size >= 10**9:
                continue
            systems = [s for s in trainers if (s, label) not in skip]
            train_for_quality(size, extra, systems)
            report["quality"].append(measure_quality(label, systems, extra, extra_vocab=True))
    report["load_average_after"] = os.getloadavg()
    report["duration_s"] = round(time.time() - started, 1)

    RESULTS_DIR.mkdir(parents=True, exist_ok=True)
    stamp = datetime.now().strftime("%Y%m%d-%H%M%S")
    text = json.dumps(report, indent=1, ensure_ascii=False) + "\n"
    (RESULTS_DIR / f"run-{args.label}-{stamp}.json").write_text(text)
    (RESULTS_DIR / f"latest-{args.label}.json").write_text(text)
    log(f"done in {report['duration_s']:.0f} s")


if __name__ == "__main__":
    main()
