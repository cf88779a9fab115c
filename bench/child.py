"""One measurement in a process of its own, started by bench/compare.py.

    python bench/child.py TASK RESULT_JSON ARGUMENTS_JSON

TASK is train, encode, first_call, line_loop or load. The result goes to RESULT_JSON, since training prints its timing
lines to the process's standard output. Peak memory is read by the parent from wait4.
"""

from __future__ import annotations

import json
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import systems  # noqa: E402


def train(system: str, corpus: str, vocab: int, out_dir: str) -> dict:
    Path(out_dir).mkdir(parents=True, exist_ok=True)
    return systems.TRAIN[system](corpus, vocab, out_dir)


def encode(system: str, model: str, text_file: str, repeat: int, ids_file: str | None = None,
           lines: bool = True) -> dict:
    """Encodes the whole text `repeat` times after a first, cold call, then one call per line
    `repeat` times (warm), then decodes the ids. The cold call is the first encoding in the
    process, since some peers keep a cache across calls and across their tokenizer objects."""
    text = Path(text_file).read_text(encoding="utf-8")
    encode_text, decode_ids, *lines_encoder = systems.LOADERS[system](model)

    def encode_each(text_lines: list[str]) -> None:
        for line in text_lines:
            encode_text(line)

    # A loader may give its own loop over the lines, so that no wrapper call is timed per line.
    encode_lines = lines_encoder[0] if lines_encoder else encode_each
    start = time.perf_counter_ns()
    ids = encode_text(text)
    cold_ns = time.perf_counter_ns() - start
    encode_ns, lines_ns, decode_ns = [], [], []
    for _ in range(repeat):
        start = time.perf_counter_ns()
        ids = encode_text(text)
        encode_ns.append(time.perf_counter_ns() - start)
    if lines:
        text_lines = text.split("\n")
        for _ in range(repeat):
            start = time.perf_counter_ns()
            encode_lines(text_lines)
            lines_ns.append(time.perf_counter_ns() - start)
    # Ids come as lists, numpy arrays or buffers; every decoder gets a list, converted untimed.
    id_list = ids.tolist() if hasattr(ids, "tolist") else list(ids)
    decoded = ""
    for _ in range(repeat):
        start = time.perf_counter_ns()
        decoded = decode_ids(id_list)
        decode_ns.append(time.perf_counter_ns() - start)
    if ids_file:
        Path(ids_file).write_text(json.dumps(id_list))
    return {
        "bytes": len(text.encode("utf-8")),
        "tokens": len(id_list),
        "decoded_bytes": len(decoded.encode("utf-8")),
        "cold_encode_ns": cold_ns,
        "encode_ns": encode_ns,
        "lines_encode_ns": lines_ns,
        "decode_ns": decode_ns,
    }


def first_call(system: str, model: str, text_file: str) -> dict:
    """Loads the model and encodes the whole text once: the first encoding of the process and
    nothing after it, so that many such processes take little time."""
    text = Path(text_file).read_text(encoding="utf-8")
    start = time.perf_counter_ns()
    encode_text = systems.LOADERS[system](model)[0]
    loaded = time.perf_counter_ns()
    encode_text(text)
    return {"load_ns": loaded - start, "cold_encode_ns": time.perf_counter_ns() - loaded}


def line_loop(system: str, model: str, text_file: str, repeat: int) -> dict:
    """Times `repeat` passes of the one-call-per-line loop over the text's lines after one pass
    that warms the caches, as the per-line loop of `encode` does after its whole-text calls."""
    lines = Path(text_file).read_text(encoding="utf-8").split("\n")
    encode_text, _, *lines_encoder = systems.LOADERS[system](model)

    def encode_each(text_lines: list[str]) -> None:
        for line in text_lines:
            encode_text(line)

    encode_lines = lines_encoder[0] if lines_encoder else encode_each
    encode_lines(lines)
    lines_ns = []
    for _ in range(repeat):
        start = time.perf_counter_ns()
        encode_lines(lines)
        lines_ns.append(time.perf_counter_ns() - start)
    return {"lines_encode_ns": lines_ns}


def load(system: str, model: str, repeat: int) -> dict:
    """Times `repeat` loads of the same model; the first one reads the files from disk cache."""
    loader = systems.LOADERS[system]
    load_ns = []
    for _ in range(repeat):
        start = time.perf_counter_ns()
        loader(model)
        load_ns.append(time.perf_counter_ns() - start)
    return {"load_ns": load_ns}


TASKS = {"train": train, "encode": encode, "first_call": first_call, "line_loop": line_loop, "load": load}


def main() -> None:
    task, result_path, arguments = sys.argv[1:]
    result = TASKS[task](**json.loads(arguments))
    Path(result_path).write_text(json.dumps(result))


if __name__ == "__main__":
    main()
