"""wrenmark.dask.train on a local cluster against train() on the joined file.

The bench corpus of --size (bench/corpus.py) is cut at line ends into --files parts whose
line-feed join is the corpus itself, byte for byte, so train() reads the corpus file and the
cluster reads the parts. Each side runs in a child process of its own and saves its model; the
saved files must be identical. Measured: wall time of the training call (and of starting the
cluster), peak RSS of the client process (which also runs the scheduler) and of each worker, and
the bytes written to the cluster's TCP connections during the call: by the client process, by
the workers to it, and by the workers to each other (Dask's own count of data served to peers).

    python bench/dask_training.py --size 1GB --files 16 --workers 2

writes bench/results/dask-training.json and prints a Markdown table.
"""

from __future__ import annotations

import argparse
import filecmp
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO_ROOT / "bench"))

from corpus import DATA_DIR, corpus_path, parse_size, prepare, size_label  # noqa: E402

RESULTS_PATH = REPO_ROOT / "bench" / "results" / "dask-training.json"
MODEL_FILES = ["config.json", "token_table.json", "merge_rules.json", "save_ranks.json", "pairs_to_merge.json"]


# ------------------------------------------------------------------ corpus parts


def split_corpus(corpus: Path, parts: int) -> list[Path]:
    """Cuts `corpus` at the line feeds nearest to equal shares; each cut line feed is dropped, so
    joining the parts with line feeds gives the corpus back."""
    directory = corpus.parent / f"{corpus.stem}-{parts}-parts"
    size = corpus.stat().st_size
    paths = [directory / f"part-{index:03d}.txt" for index in range(parts)]
    stamp = directory / "source.json"
    source = {"corpus": corpus.name, "bytes": size, "mtime_ns": corpus.stat().st_mtime_ns, "parts": parts}
    if stamp.exists() and json.loads(stamp.read_text()) == source and all(path.exists() for path in paths):
        return paths
    directory.mkdir(parents=True, exist_ok=True)
    data = corpus.read_bytes()
    start = 0
    for index, path in enumerate(paths):
        if index == parts - 1:
            end = cut = size
        else:
            cut = data.find(b"\n", max(start, size * (index + 1) // parts))
            end = cut + 1 if cut >= 0 else size
            cut = cut if cut >= 0 else size
        path.write_bytes(data[start:cut])
        start = end
    stamp.write_text(json.dumps(source))
    return paths


# ------------------------------------------------------------------ children


def child_local(corpus: str, vocab: int, output_dir: str) -> dict:
    import wrenmark

    tokenizer = wrenmark.BpeTokenizer(corpus, vocab, wrenmark.PreTokenization.whitespace(), [], None, True, output_dir)
    start = time.perf_counter()
    tokenizer.train()
    return {"train_s": time.perf_counter() - start, "client_peak_rss_kib": peak_rss_kib()}


def install_write_counter() -> None:
    """Adds up, in this process, what each of the cluster's TCP connections sends."""
    from distributed.comm import tcp

    if getattr(tcp.TCP.write, "counting", False):
        return
    original = tcp.TCP.write

    async def write(self, msg, serializers=None, on_error="message"):
        sent = await original(self, msg, serializers, on_error)
        written = tcp.__dict__.setdefault("BYTES_WRITTEN", {})
        connection = (self.local_address, self.peer_address)
        written[connection] = written.get(connection, 0) + sent
        return sent

    write.counting = True
    tcp.TCP.write = write


def bytes_written() -> list:
    """[(local address, peer address, bytes)] written by this process since the last reset."""
    from distributed.comm import tcp

    return [(local, peer, sent) for (local, peer), sent in tcp.__dict__.get("BYTES_WRITTEN", {}).items()]


def reset_bytes_written() -> None:
    from distributed.comm import tcp

    tcp.BYTES_WRITTEN = {}


def traffic_between(written_by: dict) -> dict:
    """Bytes from process to process, from what each process wrote on each connection.

    `written_by` maps a process name to its (local address, peer address, bytes) records. The
    receiver of a write is the process that owns the peer address: the one that wrote from it,
    or listens on it.
    """
    owner = {}
    for process, records in written_by.items():
        for local, _, _ in records:
            owner[local] = process
    traffic = {}
    for process, records in written_by.items():
        for _, peer, sent in records:
            if peer is None:
                continue
            receiver = owner.get(peer, "unknown")
            traffic[(process, receiver)] = traffic.get((process, receiver), 0) + sent
    return traffic


def peak_rss_kib() -> int:
    import resource

    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def child_dask(parts: list[str], vocab: int, output_dir: str, workers: int, blocksize: str) -> dict:
    import distributed

    import wrenmark
    import wrenmark.dask
    from wrenmark import wrenmark as extension

    start = time.perf_counter()
    cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                       dashboard_address=None)
    client = distributed.Client(cluster)
    client.wait_for_workers(workers)
    started_s = time.perf_counter() - start
    install_write_counter()
    client.run(install_write_counter)
    reset_bytes_written()
    client.run(reset_bytes_written)

    table_sizes = []
    local_s = []
    train_from_word_counts = extension._train_from_word_counts

    def recording(tokenizer, table):
        table_sizes.append(len(table))
        start = time.perf_counter()
        train_from_word_counts(tokenizer, table)
        local_s.append(time.perf_counter() - start)

    extension._train_from_word_counts = recording
    tokenizer = wrenmark.BpeTokenizer("", vocab, wrenmark.PreTokenization.whitespace(), [], None, True, output_dir)
    start = time.perf_counter()
    with distributed.get_task_stream(client) as task_stream:
        wrenmark.dask.train(tokenizer, parts, client=client, blocksize=blocksize)
    train_s = time.perf_counter() - start
    compute_s = {}
    for task in task_stream.data:
        kind = str(task["key"]).split("-")[1]
        compute_s.setdefault(kind, []).extend(
            period["stop"] - period["start"] for period in task["startstops"] if period["action"] == "compute")

    written_by = {"client": bytes_written()}
    workers_written = client.run(bytes_written)
    worker_names = {address: f"worker {index}" for index, address in enumerate(sorted(workers_written))}
    written_by.update((worker_names[address], records) for address, records in workers_written.items())
    # Listening addresses belong to their process, although it may never write from them.
    written_by.update({name: written_by[name] + [(address, None, 0)] for address, name in worker_names.items()})
    written_by["client"] += [(address, None, 0) for address in
                             [cluster.scheduler_address, *(nanny.address for nanny in cluster.workers.values())]]
    traffic = traffic_between(written_by)
    worker_rss = client.run(peak_rss_kib)
    client_rss = peak_rss_kib()
    client.close()
    cluster.close()
    workers_set = set(worker_names.values())
    return {
        "cluster_start_s": started_s,
        "train_s": train_s,
        "merge_loop_s": local_s[0],
        "task_compute_s": {kind: sorted(times) for kind, times in compute_s.items()},
        "final_table_bytes": table_sizes[0],
        "client_peak_rss_kib": client_rss,
        "worker_peak_rss_kib": [worker_rss[address] for address in sorted(worker_rss)],
        "bytes_client_to_workers": sum(v for (a, b), v in traffic.items() if a == "client" and b in workers_set),
        "bytes_workers_to_client": sum(v for (a, b), v in traffic.items() if a in workers_set and b == "client"),
        "bytes_between_workers": sum(v for (a, b), v in traffic.items() if a in workers_set and b in workers_set),
        "bytes_unattributed": sum(v for (a, b), v in traffic.items() if b == "unknown"),
        "traffic": {f"{a} -> {b}": v for (a, b), v in sorted(traffic.items())},
    }


def run_child(kind: str, arguments: dict) -> dict:
    with tempfile.NamedTemporaryFile(suffix=".json") as result, tempfile.TemporaryFile() as log:
        start = time.perf_counter()
        process = subprocess.Popen([sys.executable, __file__, "--child", kind, json.dumps(arguments), result.name],
                                   stdout=log, stderr=log, cwd=REPO_ROOT)
        _, status, usage = os.wait4(process.pid, 0)
        wall_s = time.perf_counter() - start
        if os.waitstatus_to_exitcode(status) != 0:
            log.seek(0)
            raise RuntimeError(f"{kind} child failed:\n{log.read().decode(errors='replace')[-3000:]}")
        measured = json.loads(Path(result.name).read_text())
    # wait4's figure also covers the child's own children, the workers of a local cluster.
    measured.update(process_wall_s=wall_s, process_tree_peak_rss_kib=usage.ru_maxrss)
    return measured


# ------------------------------------------------------------------ report


def mib(kib: int) -> str:
    return f"{kib / 1024:.0f} MiB"


def table(size: str, files: int, workers: int, blocksize: str, local: dict, cluster: dict) -> str:
    workers_rss = ", ".join(mib(kib) for kib in cluster["worker_peak_rss_kib"])
    counts = cluster["task_compute_s"].get("count", [0.0])
    merges = cluster["task_compute_s"].get("merge", [0.0])
    return "\n".join([
        f"| {size} in {files} files, vocab {cluster['vocab']} | train() on the joined file | wrenmark.dask, "
        f"{workers} workers, blocks of {blocksize} |",
        "|---|---|---|",
        f"| wall time of the training call | {local['train_s']:.1f} s | {cluster['train_s']:.1f} s "
        f"(+ {cluster['cluster_start_s']:.1f} s to start the cluster) |",
        f"| of which counting and combining on the cluster | - | "
        f"{cluster['train_s'] - cluster['merge_loop_s']:.1f} s |",
        f"| of which vocabulary and merge loop in the client | - | {cluster['merge_loop_s']:.1f} s |",
        f"| worker time: counting {len(counts)} blocks, merging {len(merges)} times | - | "
        f"{sum(counts):.1f} s ({min(counts):.1f} to {max(counts):.1f} s each), "
        f"{sum(merges):.1f} s ({min(merges):.1f} to {max(merges):.1f} s each) |",
        f"| peak RSS, client process | {mib(local['client_peak_rss_kib'])} | "
        f"{mib(cluster['client_peak_rss_kib'])} (scheduler included) |",
        f"| peak RSS, each worker | - | {workers_rss} |",
        f"| bytes sent, client process (client, scheduler, nannies) to the workers | - | "
        f"{cluster['bytes_client_to_workers']:,} |",
        f"| bytes sent, workers to the client process | - | {cluster['bytes_workers_to_client']:,} "
        f"(final word table: {cluster['final_table_bytes']:,}) |",
        f"| bytes sent, between the workers (tables to merge) | - | {cluster['bytes_between_workers']:,} |",
        f"| saved model files identical | - | {cluster['identical']} |",
    ])


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", default="1GB")
    parser.add_argument("--files", type=int, default=16)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--blocksize", default="64MiB")
    parser.add_argument("--vocab", type=int, default=32000)
    parser.add_argument("--output", type=Path, default=RESULTS_PATH)
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    if args.child:
        kind, arguments, result_path = args.child
        measured = {"local": child_local, "dask": child_dask}[kind](**json.loads(arguments))
        Path(result_path).write_text(json.dumps(measured))
        return

    size = parse_size(args.size)
    prepare([size])
    corpus = corpus_path(size, DATA_DIR)
    parts = split_corpus(corpus, args.files)
    with tempfile.TemporaryDirectory() as scratch:
        local_dir, cluster_dir = Path(scratch) / "local", Path(scratch) / "cluster"
        local = run_child("local", {"corpus": str(corpus), "vocab": args.vocab, "output_dir": str(local_dir)})
        cluster = run_child("dask", {"parts": [str(path) for path in parts], "vocab": args.vocab,
                                     "output_dir": str(cluster_dir), "workers": args.workers,
                                     "blocksize": args.blocksize})
        cluster["identical"] = all(filecmp.cmp(local_dir / name, cluster_dir / name, shallow=False)
                                   for name in MODEL_FILES)
    cluster["vocab"] = args.vocab
    report = {"size": size_label(size), "files": args.files, "workers": args.workers,
              "blocksize": args.blocksize, "cpu_count": os.cpu_count(), "local": local, "dask": cluster}
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(json.dumps(report, indent=2) + "\n")
    print(table(size_label(size), args.files, args.workers, args.blocksize, local, cluster))


if __name__ == "__main__":
    main()
