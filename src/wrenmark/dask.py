"""Training on a Dask cluster: the words are counted on the workers, the merges learnt here.

Counting words is the only phase of training that grows with the corpus, and it splits cleanly:
the merge loop needs only the distinct words with their counts and first occurrences. Each
worker reads and counts blocks of the corpus files itself; the tables are combined in a tree
on the cluster, and only the final table comes back to train the tokenizer in this process.

Needs the optional dependencies: ``pip install wrenmark[dask]``.
"""

from __future__ import annotations

import contextlib
import logging
import os
import threading
import uuid
from collections.abc import Iterator, Sequence

import distributed
from dask.utils import parse_bytes
from distributed.scheduler import KilledWorker

# The compiled module, for its private functions (typed by its private stub, wrenmark.pyi).
import wrenmark.wrenmark as _extension
from wrenmark import BpeTokenizer
from wrenmark._corpus_blocks import (
    Block,
    CorpusPaths,
    CountingSettings,
    JoinedCorpus,
    count_block,
    expand_paths,
    locate_files,
    merge_tables,
    plan_blocks,
)
from wrenmark._progress_line import ProgressLine, Unit

__all__ = ["train"]

# Tables combined by one reduction task. Merging costs about the size of its inputs, so a wide
# fan-in keeps the tree shallow without making any one task large.
_MERGE_FAN_IN = 8
# How long the wait for the cluster goes without looking at the progress and running this
# process's signal handlers.
_WAIT_SLICE_SECONDS = 0.1


def train(tokenizer: BpeTokenizer, paths: CorpusPaths, *, client: distributed.Client | None = None,
          blocksize: int | str = "64MiB") -> None:
    """Trains `tokenizer` on the files in `paths` with the help of a Dask cluster.

    The result is the one that ``tokenizer.train()`` gives on a single corpus file holding the
    contents of the files in order, joined with one line feed between consecutive files: the
    same vocabulary, merges and saved files. The tokenizer's own settings are used, except that
    its input_path is not read. `paths` is one path or a sequence of local paths, fsspec URLs
    (``s3://``, ``gs://``, ...) or glob patterns (their matches in sorted order); the client and
    every worker must be able to open them.

    The joined corpus is cut into blocks of about `blocksize` bytes (an int or a text such as
    "64MiB"), which the workers read from the files and count; the counts are combined on the
    cluster and the merges are learnt in this process, which prints the timing lines and saves
    the model as ``train()`` does. `client` is a ``distributed.Client``; by default the current
    one, or, when there is none, a local cluster of worker processes started for this call and
    closed after it.

    Raises RuntimeError when the tokenizer is already trained, when a file is missing,
    unreadable or not valid UTF-8 (naming the file and byte), or when a block cannot be counted
    because the workers running it keep dying. The tokenizer then stays untrained.
    """
    settings = _extension._training_settings(tokenizer)
    if settings["is_trained"]:
        raise RuntimeError("Cannot train a pretrained model")
    counting = CountingSettings(settings["pretokenization_type"], tuple(settings["special_tokens"]),
                               settings["special_token_removal_method"])
    block_size = parse_bytes(blocksize) if isinstance(blocksize, str) else int(blocksize)
    if block_size <= 0:
        raise ValueError(f"blocksize must be positive, got {blocksize!r}")
    corpus = locate_files(expand_paths(paths))
    blocks = plan_blocks(corpus, block_size)
    if blocks:
        with _client_for(client) as active:
            progress = ProgressLine() if tokenizer.show_progress else None
            table = _count_on_cluster(active, counting, corpus, blocks, progress)
    else:
        table = _extension._merge_word_counts([])
    _extension._train_from_word_counts(tokenizer, table)


@contextlib.contextmanager
def _client_for(client: distributed.Client | None) -> Iterator[distributed.Client]:
    if client is None:
        try:
            client = distributed.default_client()
        except ValueError:
            client = None
    if client is not None:
        yield client
        return
    # One single-threaded worker per core: the extension counts a block on its own thread pool.
    # The call reports every failure itself, so the cluster's logs would only repeat them.
    with (
        distributed.LocalCluster(n_workers=os.cpu_count() or 1, threads_per_worker=1, processes=True,
                                 dashboard_address=None, silence_logs=logging.CRITICAL) as cluster,
        distributed.Client(cluster, set_as_default=False) as local_client,
    ):
        yield local_client


def _count_on_cluster(client: distributed.Client, settings: CountingSettings, corpus: JoinedCorpus,
                      blocks: Sequence[Block], progress: ProgressLine | None) -> bytes:
    """Counts every block on the workers and combines the tables there; returns the last one."""
    call = uuid.uuid4().hex
    # The futures not yet done, counts with their nominal bytes: what the progress is measured
    # by, and what is cancelled when the call ends early. Done ones are let go at once, so that
    # the cluster frees each table as soon as it is merged.
    counting: dict[distributed.Future[bytes], int] = {}
    merging: dict[distributed.Future[bytes], None] = {}
    # The file list goes into the graph once, as a task that every count depends on, rather than
    # into every count's arguments; if the worker holding it dies, the scheduler makes it again.
    shared_corpus = client.submit(_same, corpus, key=f"wrenmark-corpus-{call}", pure=False)
    blocks_by_key: dict[str, Block] = {}
    try:
        level: list[distributed.Future[bytes]] = []
        for index, block in enumerate(blocks):
            key = f"wrenmark-count-{call}-{index}"
            blocks_by_key[key] = block
            level.append(client.submit(count_block, settings, shared_corpus, block, key=key, pure=False))
            counting[level[-1]] = block.stop - block.start
        depth = 0
        while len(level) > 1:
            depth += 1
            level = [client.submit(merge_tables, *level[start:start + _MERGE_FAN_IN],
                                   key=f"wrenmark-merge-{call}-{depth}-{start}", pure=False)
                     for start in range(0, len(level), _MERGE_FAN_IN)]
            merging.update(dict.fromkeys(level))
        final = level[0]
        del level
        _wait_for(final, counting, merging, corpus.size, progress)
        table: bytes = final.result()
        return table
    except BaseException as error:
        # Stops the work of this call on the cluster, including after Ctrl-C, at once rather than
        # when the traceback lets the futures go. Released, not cancelled: the scheduler's cancel
        # also walks the dependents, and meeting a done count or a failed merge that this call let
        # go it fails an assertion and drops the client's connection, and with it every future
        # of the client, other calls' too.
        shared_corpus.release()
        for future in [*counting, *merging]:
            future.release()
        if progress is not None:
            progress.stopped()
        if isinstance(error, KilledWorker):
            # Dask blames every task that was on a worker when it died; the one named may be innocent.
            blamed = blocks_by_key.get(str(error.task))
            what = f"counting {blamed.describe(corpus)}" if blamed is not None else "combining the word counts"
            raise RuntimeError(f"Training on the cluster failed: workers died {error.allowed_failures + 1} "
                               f"times while {what}") from None
        if isinstance(error, RuntimeError) or not isinstance(error, Exception):
            raise
        raise RuntimeError(f"Training on the cluster failed: {type(error).__name__}: {error}") from error


def _wait_for(final: distributed.Future[bytes], counting: dict[distributed.Future[bytes], int],
              merging: dict[distributed.Future[bytes], None], total_bytes: int,
              progress: ProgressLine | None) -> None:
    """Waits in short slices, so that Ctrl-C stops it promptly, drawing the progress meanwhile;
    the final table is fetched afterwards, by the caller, in one uncut result()."""
    merges = len(merging)
    counted = 0
    if progress is not None:
        progress.begin_phase("counting words", total_bytes, Unit.BYTES)
    combining = False
    # Waited for in this thread, never through a timed final.result(): a slice that ends while
    # the result is being fetched cancels the fetch, which can leave the client's shared gather
    # cancelled for good (every later result() then fails inside distributed's sync()).
    finished = threading.Event()
    final.add_done_callback(lambda _: finished.set())
    while True:
        finished.wait(_WAIT_SLICE_SECONDS)
        for future in [future for future in counting if future.done()]:
            counted += counting.pop(future)
        for future in [future for future in merging if future.done()]:
            del merging[future]
        if finished.is_set():
            return
        if progress is None:
            continue
        if counting:
            progress.update(counted)
        elif not combining:
            combining = True
            progress.begin_phase("combining word counts", merges, Unit.ITEMS)
        else:
            progress.update(merges - len(merging))


def _same(corpus: JoinedCorpus) -> JoinedCorpus:
    return corpus
