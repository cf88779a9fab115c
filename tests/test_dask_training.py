"""wrenmark.dask.train against train() on the joined file, on a local cluster of two worker processes."""

import importlib
import itertools
import logging
import os
import random
import sys
from pathlib import Path

import dask
import distributed
import pytest
import wrenmark

from helpers import PRE_TOKENIZATIONS, REMOVAL_METHODS, run_python, vocabulary
from reference.literal_training import train_text

MODEL_FILES = ["config.json", "token_table.json", "merge_rules.json", "save_ranks.json", "pairs_to_merge.json"]


def cluster_train(tokenizer, paths, **options):
    return importlib.import_module("wrenmark.dask").train(tokenizer, paths, **options)


@pytest.fixture(scope="module", autouse=True)
def forget_wrenmark_dask():
    """Importing a submodule binds it as an attribute of the package; it is taken away after this
    file so that later tests see the namespace of a plain `import wrenmark`."""
    yield
    for name in [name for name in sys.modules if name in ("wrenmark.dask", "wrenmark._corpus_blocks")]:
        del sys.modules[name]
        delattr(wrenmark, name.split(".")[1])


@pytest.fixture(scope="module")
def client():
    # One failure allowed per task: a block whose worker dies twice ends the call, which keeps
    # the test of that case short.
    with (
        dask.config.set({"distributed.scheduler.allowed-failures": 1}),
        distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                 dashboard_address=None, silence_logs=logging.CRITICAL) as cluster,
        distributed.Client(cluster, set_as_default=False) as cluster_client,
    ):
        yield cluster_client


def tokenizer_for(corpus, target, pre_tokenization="whitespace", special_tokens=(), method="simple",
                  output_dir=None):
    return wrenmark.BpeTokenizer(str(corpus), target, PRE_TOKENIZATIONS[pre_tokenization](),
                                 list(special_tokens), REMOVAL_METHODS[method](), output_dir is not None,
                                 None if output_dir is None else str(output_dir))


def write_files(directory: Path, contents) -> list[str]:
    directory.mkdir(parents=True, exist_ok=True)
    paths = []
    for index, content in enumerate(contents):
        path = directory / f"part-{index}.txt"
        path.write_bytes(content.encode("utf-8") if isinstance(content, str) else content)
        paths.append(str(path))
    return paths


def assert_same_as_joined_file(tmp_path, client, contents, blocksize, target=60, **settings):
    """Trains locally on the joined file and on the cluster on the parts; compares everything."""
    joined = tmp_path / "joined.txt"
    joined.write_bytes(b"\n".join(c.encode("utf-8") if isinstance(c, str) else c for c in contents))
    local = tokenizer_for(joined, target, output_dir=tmp_path / "local", **settings)
    local.train()
    distributed_tokenizer = tokenizer_for("not read", target, output_dir=tmp_path / "cluster", **settings)
    cluster_train(distributed_tokenizer, write_files(tmp_path / "parts", contents), client=client,
                  blocksize=blocksize)
    assert vocabulary(distributed_tokenizer) == vocabulary(local)
    for name in MODEL_FILES:
        assert (tmp_path / "cluster" / name).read_bytes() == (tmp_path / "local" / name).read_bytes(), name


@pytest.mark.parametrize(
    "contents, blocksize, settings",
    [
        # words and multi-byte characters across block ends and file ends
        (["hello world\nthe world", "hello"], 1, {}),
        (["日本語 テキスト\n日本\n", "😀é😀 é\n"], 2, {}),
        # empty files, files without a final line feed, a corpus of line feeds only
        (["", "a b", "", "", "b a"], 3, {}),
        (["\n\n", "\n", ""], 1, {}),
        (["", ""], 4, {}),
        ([""], 1, {}),
        (["ab\r\ncd\r\n", "\r\nab"], 2, {}),
        (["don't stop!\n¿Qué?", "...\n!!"], 2, {"pre_tokenization": "punctuation"}),
        # special tokens across block ends, removal joining the text around them
        (["hello[SEP]world\n[SE", "P]x [SEP][SEP]y"], 3, {"special_tokens": ["[SEP]"]}),
        (["aabb ab\nabc acb", "cab"], 2, {"special_tokens": ["ab", "c"]}),
        (["aabb ab\nabc acb", "cab"], 2, {"special_tokens": ["abc", "b"], "method": "aho_corasick"}),
        (["a\u00a0b日</w>\n", "日b"], 1, {"special_tokens": ["", "日", "</w>"], "method": "aho_corasick"}),
        # a special token holding a line feed: matches across lines and across the file junction
        (["xa", "by a\nb"], 1, {"special_tokens": ["a\nb"]}),
        (["p<\n", ">q\nr<", "\n>"], 2, {"special_tokens": ["<\n>", "q"], "method": "aho_corasick"}),
    ],
)
def test_same_model_as_train_on_the_joined_file(tmp_path, client, contents, blocksize, settings):
    assert_same_as_joined_file(tmp_path, client, contents, blocksize, **settings)


WORD_CHARACTERS = "aab日é😀'."
SEPARATORS = [" ", "\n", "\n", "\t", "\r\n", "\u00a0", "  "]


def random_files(rng):
    files = []
    for _ in range(rng.randint(1, 4)):
        pieces = []
        for _ in range(rng.randint(0, 30)):
            pieces.append("".join(rng.choice(WORD_CHARACTERS) for _ in range(rng.randint(1, 4))))
            pieces.append(rng.choice(SEPARATORS))
        files.append("".join(pieces)[:rng.randint(0, 200)])
    return files


def random_special_tokens(rng, text):
    tokens = []
    for _ in range(rng.randint(0, 3)):
        start = rng.randrange(max(len(text) - 1, 1))
        tokens.append(text[start:start + rng.randint(1, 3)] or "a")
    return tokens


def generated_cases(count):
    rng = random.Random("wrenmark.dask")
    while count:
        files = random_files(rng)
        joined = "\n".join(files)
        settings = {"pre_tokenization": rng.choice(list(PRE_TOKENIZATIONS)),
                    "method": rng.choice(list(REMOVAL_METHODS)),
                    "special_tokens": random_special_tokens(rng, joined)}
        target = rng.randint(0, 80)
        model = train_text(joined, target, settings["pre_tokenization"], settings["special_tokens"],
                           settings["method"])
        # A merge whose outcome depends on the iteration order of a hash set makes train()
        # itself vary between runs: nothing to compare against.
        if model.order_sensitive_at is None:
            count -= 1
            yield files, rng.choice([2, 3, 7, 64]), target, settings


@pytest.mark.parametrize("contents, blocksize, target, settings", list(generated_cases(12)))
def test_generated_corpora(tmp_path, client, contents, blocksize, target, settings):
    assert_same_as_joined_file(tmp_path, client, contents, blocksize, target, **settings)


@pytest.mark.parametrize(
    "contents, special_tokens, blocksize, spans",
    [
        # a cut after every white-space character that no special token holds
        (["a b c", "d"], [], 1, [(0, 2), (2, 4), (4, 6), (6, 7)]),
        (["ab\ncd", "ef gh"], ["\n"], 2, [(0, 9), (9, 11)]),
        (["a b c", "d"], [], 100, [(0, 7)]),
        # no white space, no cut
        (["abcdef", ""], [], 1, [(0, 7)]),
    ],
)
def test_blocks_meet_at_safe_cuts(tmp_path, contents, special_tokens, blocksize, spans):
    blocks_module = importlib.import_module("wrenmark._corpus_blocks")
    corpus = blocks_module.locate_files(write_files(tmp_path, contents))
    tokenizer = tokenizer_for("x", 0, special_tokens=special_tokens)
    margin = sys.modules["wrenmark.wrenmark"]._cut_margin(tokenizer)
    resolved = [(blocks_module._safe_cut(tokenizer, margin, corpus, block.start),
                 blocks_module._safe_cut(tokenizer, margin, corpus, block.stop))
                for block in blocks_module.plan_blocks(corpus, blocksize)]
    assert [span for span in resolved if span[0] < span[1]] == spans
    assert all(left[1] == right[0] for left, right in itertools.pairwise(resolved))
    joined = "\n".join(contents).encode()
    assert b"".join(corpus.read(start, stop) for start, stop in spans) == joined


@pytest.mark.parametrize(
    "make_paths, message",
    [
        (lambda tmp: [tmp / "missing.txt"], "missing.txt: No such file or directory"),
        (lambda tmp: [tmp], "not a regular file"),
        (lambda tmp: [str(tmp / "*.absent")], "no file matches the pattern"),
        (lambda tmp: write_files(tmp / "bad", ["fine\n", b"good\nline\nbad \xff here\n"]),
         r"part-1.txt: stream did not contain valid UTF-8 \(byte 14 of the file\)"),
        (lambda tmp: write_files(tmp / "bad", [b"x\xe6\x97", "\n"]),
         r"part-0.txt: stream did not contain valid UTF-8 \(byte 1 of the file\)"),
    ],
)
def test_unusable_files_leave_the_tokenizer_trainable(tmp_path, client, make_paths, message):
    tokenizer = tokenizer_for("not read", 20)
    with pytest.raises(RuntimeError, match=message):
        cluster_train(tokenizer, make_paths(tmp_path), client=client, blocksize=3)
    assert vocabulary(tokenizer) == []
    cluster_train(tokenizer, write_files(tmp_path / "good", ["a b a"]), client=client)
    assert vocabulary(tokenizer)[:3] == ["a", "b", "</w>"]


def test_invalid_utf8_named_in_its_file_when_blocks_span_files(tmp_path, client):
    # The only white space, the joining line feeds, is in a special token: there is no cut, and
    # one block holds the three files.
    tokenizer = tokenizer_for("not read", 20, special_tokens=["a\nb"])
    with pytest.raises(RuntimeError, match=r"part-2.txt: .* \(byte 3 of the file\)"):
        cluster_train(tokenizer, write_files(tmp_path, ["a", "b", b"abc\x80"]), client=client, blocksize=1)


def test_file_visible_to_the_client_only(tmp_path, client):
    # The in-memory file system is private to each process: the workers cannot open the file.
    import fsspec

    with fsspec.open("memory://wrenmark-test/corpus.txt", "wb") as stream:
        stream.write(b"a b c")
    with pytest.raises(RuntimeError, match="Error reading file: memory://wrenmark-test/corpus.txt"):
        cluster_train(tokenizer_for("not read", 20), ["memory://wrenmark-test/corpus.txt"], client=client)


def test_trained_tokenizer_refused(tmp_path, client):
    tokenizer = tokenizer_for("not read", 20)
    paths = write_files(tmp_path, ["a b"])
    cluster_train(tokenizer, paths, client=client)
    with pytest.raises(RuntimeError, match="^Cannot train a pretrained model$"):
        cluster_train(tokenizer, paths, client=client)


@pytest.mark.parametrize("blocksize", [0, "-1", "big"])
def test_bad_blocksize(tmp_path, client, blocksize):
    with pytest.raises(ValueError):
        cluster_train(tokenizer_for("x", 5), write_files(tmp_path, ["a"]), client=client, blocksize=blocksize)


def test_paths_as_glob_and_path_objects(tmp_path, client):
    paths = write_files(tmp_path / "parts", ["b a", "c"])
    by_glob = tokenizer_for("x", 30)
    cluster_train(by_glob, str(tmp_path / "parts" / "part-*.txt"), client=client)
    by_path = tokenizer_for("x", 30)
    cluster_train(by_path, [Path(path) for path in paths], client=client)
    assert vocabulary(by_glob) == vocabulary(by_path)
    assert vocabulary(by_glob)[:4] == ["b", "a", "c", "</w>"]


def test_current_client_is_used(tmp_path, client, monkeypatch):
    monkeypatch.setattr(distributed, "LocalCluster", None)  # starting a cluster would fail
    tokenizer = tokenizer_for("x", 10)
    with client.as_current():
        cluster_train(tokenizer, write_files(tmp_path, ["a b"]))
    assert vocabulary(tokenizer)[:2] == ["a", "b"]


def test_local_cluster_when_there_is_no_client(tmp_path):
    paths = write_files(tmp_path, ["a b", "b c"])
    result = run_python(
        "import sys, wrenmark, wrenmark.dask, distributed\n"
        "t = wrenmark.BpeTokenizer('x', 10, wrenmark.PreTokenization.whitespace())\n"
        f"wrenmark.dask.train(t, {paths!r})\n"
        "print(repr(t), [t.get_token_by_id(i) for i in range(3)])\n"
        "try:\n    distributed.default_client()\nexcept ValueError:\n    print('no client left')\n")
    assert result.returncode == 0, result.stderr.decode()
    assert b"['a', 'b', 'c']" in result.stdout and b"no client left" in result.stdout


def test_import_wrenmark_loads_neither_dask_nor_fsspec():
    result = run_python("import sys, wrenmark\n"
                        "print(sorted(m for m in sys.modules if m.split('.')[0] in ('dask', 'distributed', 'fsspec')))")
    assert result.stdout.strip() == b"[]"


class KillWorkers(distributed.WorkerPlugin):
    """Ends the worker process when it starts counting a block: once (a marker file remembers
    it) or every time for the block whose key ends with `always_suffix`."""

    name = "kill-workers"

    def __init__(self, marker: str, always_suffix: str | None = None):
        self.marker = marker
        self.always_suffix = always_suffix

    def transition(self, key, start, finish, **kwargs):
        if finish != "executing" or not str(key).startswith("wrenmark-count-"):
            return
        if self.always_suffix is not None:
            if str(key).endswith(self.always_suffix):
                os._exit(1)
        elif not os.path.exists(self.marker):
            Path(self.marker).touch()
            os._exit(1)


@pytest.fixture
def killing(client):
    def install(plugin):
        client.register_plugin(plugin)

    yield install
    client.unregister_worker_plugin(KillWorkers.name)
    client.wait_for_workers(2, timeout=60)


def test_worker_killed_once_changes_nothing(tmp_path, client, killing):
    killing(KillWorkers(str(tmp_path / "killed")))
    assert_same_as_joined_file(tmp_path, client, ["the cat\nsat on", "the mat\n"], 4)
    assert (tmp_path / "killed").exists()


def test_block_that_keeps_killing_its_worker_ends_the_call(tmp_path, client, killing):
    killing(KillWorkers(str(tmp_path / "unused"), always_suffix="-1"))
    tokenizer = tokenizer_for("not read", 20)
    paths = write_files(tmp_path, ["first line\nsecond line\n"])
    with pytest.raises(RuntimeError, match=r"workers died 2 times while counting the block at byte \d+ of .*part-0.txt"):
        cluster_train(tokenizer, paths, client=client, blocksize=5)
    assert vocabulary(tokenizer) == []


def slow_from(start, seconds):
    """count_block, `seconds` slower for the blocks from byte `start` on; a closure travels to
    the workers by value."""
    def count(settings, corpus, block):
        import time
        if block.start >= start:
            time.sleep(seconds)
        return importlib.import_module("wrenmark._corpus_blocks").count_block(settings, corpus, block)
    return count


@pytest.mark.parametrize(
    "contents, slow_from_byte, message",
    [
        # the failing block is the first: every other count still pending
        ([b"\xff a b c d e f g h i j k l m n o p q r s t"], 1, "byte 0 of the file"),
        # done counts let go and pending ones, around a failed merge
        (["a b c d e f g h i j", b"k \xff m n o p q r s t u v w x y z"], 24, "byte 2 of the file"),
    ],
)
def test_failure_while_blocks_are_counting_leaves_the_client_usable(tmp_path, client, monkeypatch, contents,
                                                                      slow_from_byte, message):
    dask_training = importlib.import_module("wrenmark.dask")
    monkeypatch.setattr(dask_training, "count_block", slow_from(slow_from_byte, 0.5))
    with pytest.raises(RuntimeError, match=message):
        cluster_train(tokenizer_for("x", 20), write_files(tmp_path / "bad", contents), client=client, blocksize=2)
    monkeypatch.undo()
    assert_same_as_joined_file(tmp_path, client, ["a b a", "c"], 2)
    assert client.submit(len, "abc").result() == 3


@pytest.mark.parametrize("slice_seconds", [1e-4, 1e-3])
def test_short_wait_slices_never_cut_the_fetch_of_the_table(tmp_path, client, monkeypatch, slice_seconds):
    monkeypatch.setattr(importlib.import_module("wrenmark.dask"), "_WAIT_SLICE_SECONDS", slice_seconds)
    paths = write_files(tmp_path, [" ".join(f"w{index}" for index in range(20000))])
    for _ in range(8):
        tokenizer = tokenizer_for("x", 30)
        cluster_train(tokenizer, paths, client=client)
        assert len(vocabulary(tokenizer)) == 30
    assert client.submit(len, "abc").result() == 3
