"""wrenmark.dask.train and `wrenmark train` on several corpora: Ctrl-C while the cluster works,
and the progress drawn meanwhile."""

import importlib
import logging
import os
import queue
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time

import distributed
import pytest
import wrenmark

from helpers import vocabulary

PLAIN_COUNTING_LINE = re.compile(
    r"wrenmark: counting words +\d+% \d+\.\d MB of \d+\.\d MB(, \d+\.\d MB/s(, \d+:\d\d left)?)?")


@pytest.fixture(scope="module", autouse=True)
def forget_wrenmark_dask():
    """The package's namespace as a plain `import wrenmark` leaves it, for the later tests."""
    yield
    for name in [name for name in sys.modules
                 if name in ("wrenmark.dask", "wrenmark._corpus_blocks", "wrenmark._progress_line")]:
        del sys.modules[name]
        if hasattr(wrenmark, name.split(".")[1]):
            delattr(wrenmark, name.split(".")[1])


@pytest.fixture(scope="module")
def client():
    with (
        distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                 dashboard_address=None, silence_logs=logging.CRITICAL) as cluster,
        distributed.Client(cluster, set_as_default=False) as cluster_client,
    ):
        yield cluster_client


def write_parts(directory, parts=3, words=3000):
    directory.mkdir(parents=True, exist_ok=True)
    texts = [" ".join(f"w{(index * 7 + word * 13) % 97}x{word % 5}" for word in range(words)) for index in range(parts)]
    paths = []
    for index, text in enumerate(texts):
        paths.append(directory / f"part-{index}.txt")
        paths[-1].write_text(text)
    (directory / "joined.txt").write_text("\n".join(texts))
    return [str(path) for path in paths]


def slowed(name, seconds):
    """The function `name` of the blocks module, `seconds` slower; a closure travels to the
    workers by value, so they need not import this file."""
    def slow(*arguments):
        import time
        time.sleep(seconds)
        return getattr(importlib.import_module("wrenmark._corpus_blocks"), name)(*arguments)
    return slow


def wrenmark_tasks_on(client):
    def names(dask_scheduler):
        return [str(key) for key in dask_scheduler.tasks if "wrenmark" in str(key)]
    return client.run_on_scheduler(names)


@pytest.mark.parametrize(("phase", "done", "total", "unit", "seconds", "with_bar", "text"), [
    ("counting words", 5_000_000, 20_000_000, "BYTES", 2.0, True,
     "counting words [######..................]  25% 5.0 MB of 20.0 MB, 2.5 MB/s, 0:06 left"),
    ("counting words", 5_000_000, 20_000_000, "BYTES", 2.0, False,
     "counting words  25% 5.0 MB of 20.0 MB, 2.5 MB/s, 0:06 left"),
    ("counting words", 1_500_000_000, 3_000_000_000, "BYTES", 100.0, False,
     "counting words  50% 1.50 GB of 3.00 GB, 15.0 MB/s, 1:40 left"),
    ("counting words", 1_000_000, 5_000_000_000, "BYTES", 1.0, False,
     "counting words   0% 1.0 MB of 5.00 GB, 1.0 MB/s, 1:23:19 left"),
    ("combining word counts", 3, 4, "ITEMS", 0.01, False, "combining word counts  75% 3 of 4"),
    ("combining word counts", 5, 4, "ITEMS", 1.0, True, "combining word counts [########################] 100% 4 of 4, 4/s"),
])
def test_status_text_as_the_extension_draws_it(phase, done, total, unit, seconds, with_bar, text):
    progress_line = importlib.import_module("wrenmark._progress_line")
    assert progress_line.status_text(phase, done, total, progress_line.Unit[unit], seconds, with_bar) == text


def test_interrupt_while_waiting_cancels_the_work_and_leaves_the_tokenizer_trainable(tmp_path, client,
                                                                                      monkeypatch):
    dask_training = importlib.import_module("wrenmark.dask")
    paths = write_parts(tmp_path)
    monkeypatch.setattr(dask_training, "count_block", slowed("count_block", 0.5))
    tokenizer = wrenmark.BpeTokenizer("", 80, wrenmark.PreTokenization.whitespace())

    def interrupt(signum, frame):
        raise KeyboardInterrupt
    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.4)
        started = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            # 24 blocks of half a second each on two workers: six seconds uninterrupted.
            dask_training.train(tokenizer, paths, client=client, blocksize=2000)
        assert time.monotonic() - started < 2
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert vocabulary(tokenizer) == []
    deadline = time.monotonic() + 10
    while wrenmark_tasks_on(client) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert wrenmark_tasks_on(client) == []

    monkeypatch.undo()
    dask_training.train(tokenizer, paths, client=client, blocksize=2000)
    local = wrenmark.BpeTokenizer(str(tmp_path / "joined.txt"), 80, wrenmark.PreTokenization.whitespace())
    local.train()
    assert vocabulary(tokenizer) == vocabulary(local)


def test_progress_lines_of_the_cluster_phases(tmp_path, client, monkeypatch, capfd):
    dask_training = importlib.import_module("wrenmark.dask")
    monkeypatch.setattr(importlib.import_module("wrenmark._progress_line"), "_PLAIN_LINE_SECONDS", 0.0)
    monkeypatch.setattr(dask_training, "count_block", slowed("count_block", 0.1))
    # Merging slower than a slice of the wait: the combining phase always gets its line.
    monkeypatch.setattr(dask_training, "merge_tables", slowed("merge_tables", 0.3))
    tokenizer = wrenmark.BpeTokenizer("", 80, wrenmark.PreTokenization.whitespace())
    tokenizer.show_progress = True
    paths = write_parts(tmp_path)
    total_bytes = sum(os.path.getsize(path) + 1 for path in paths) - 1
    dask_training.train(tokenizer, paths, client=client, blocksize=4000)
    lines = capfd.readouterr().err.splitlines()
    assert all(line.startswith("wrenmark: ") for line in lines)
    phases = [re.match(r"wrenmark: ([a-z ]+?)(?= [\[ 0-9]|$)", line).group(1) for line in lines]
    assert [phase for index, phase in enumerate(phases) if index == 0 or phases[index - 1] != phase] == \
        ["counting words", "combining word counts", "counting pairs", "merging", "training done in"]
    counting = [line for line in lines if line.startswith("wrenmark: counting words")]
    assert len(counting) > 1 and all(PLAIN_COUNTING_LINE.fullmatch(line) for line in counting)
    assert counting[0] == f"wrenmark: counting words   0% 0.0 MB of {total_bytes / 1e6:.1f} MB"
    assert re.fullmatch(r"wrenmark: combining word counts +0% 0 of [1-9]", lines[phases.index("combining word counts")])


def test_progress_says_stopped_when_the_cluster_phase_fails(tmp_path, client, capfd):
    dask_training = importlib.import_module("wrenmark.dask")
    paths = write_parts(tmp_path)
    (tmp_path / "part-1.txt").write_bytes(b"valid \xff invalid")
    tokenizer = wrenmark.BpeTokenizer("", 80, wrenmark.PreTokenization.whitespace())
    tokenizer.show_progress = True
    with pytest.raises(RuntimeError, match="valid UTF-8"):
        dask_training.train(tokenizer, paths, client=client, blocksize=4000)
    lines = capfd.readouterr().err.splitlines()
    assert lines[0].startswith("wrenmark: counting words ")
    assert re.fullmatch(r"wrenmark: training stopped after \d+:\d\d", lines[-1])


@pytest.mark.parametrize(("entry", "interrupted"), [
    ("wrenmark.dask.train(tokenizer, paths)", lambda result: b"KeyboardInterrupt" in result.stderr),
    ("sys.exit(wrenmark.cli.main(['train', *paths, '-o', output, '--vocab-size', '80', '--progress']))",
     lambda result: result.returncode == 130),
], ids=["wrenmark.dask.train", "wrenmark train"])
def test_sigint_ends_a_child_training_on_its_own_cluster(tmp_path, entry, interrupted):
    paths = write_parts(tmp_path)
    code = textwrap.dedent(f"""
        import signal, sys
        # Even when started with Ctrl-C ignored, as in a shell's background job.
        signal.signal(signal.SIGINT, signal.default_int_handler)
        import wrenmark, wrenmark.cli, wrenmark.dask
        def slow_count(*arguments):
            import time
            time.sleep(5)
            from wrenmark._corpus_blocks import count_block
            return count_block(*arguments)
        wrenmark.dask.count_block = slow_count
        paths, output = {paths!r}, {str(tmp_path / "model")!r}
        tokenizer = wrenmark.BpeTokenizer("", 80, wrenmark.PreTokenization.whitespace())
        tokenizer.show_progress = True
        {entry}
    """)
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    lines: queue.Queue[bytes] = queue.Queue()
    reader = threading.Thread(target=lambda: [lines.put(line) for line in child.stderr], daemon=True)
    reader.start()
    try:
        deadline = time.monotonic() + 60
        while not lines.get(timeout=max(deadline - time.monotonic(), 0.1)).startswith(b"wrenmark: counting words"):
            pass
        os.kill(child.pid, signal.SIGINT)
        interrupted_at = time.monotonic()
        child.wait(timeout=30)
        took = time.monotonic() - interrupted_at
    finally:
        child.kill()
        child.wait()
    reader.join(timeout=5)
    stderr = b"".join(lines.queue)
    result = subprocess.CompletedProcess(child.args, child.returncode, child.stdout.read(), stderr)
    assert interrupted(result), result
    assert took < 15
    assert b"wrenmark: training stopped after " in stderr
    assert not (tmp_path / "model").exists()
