"""The wrenmark command end to end, in child processes (the bad-line table in this process, with
small batches): outputs, exit statuses, error lines."""

import importlib
import io
import json
import subprocess
import sys
from pathlib import Path

import pytest

import wrenmark

# Imported in this process for the bad-line table; the package keeps showing only its classes.
cli = importlib.import_module("wrenmark.cli")
del wrenmark.cli

CORPUS = "the cat sat on the mat. the dog sat on the log! <s> a cat, a dog\n" * 20
SCRIPT = Path(sys.executable).with_name("wrenmark")


def run(*arguments, stdin: str | bytes = "", command=(sys.executable, "-m", "wrenmark")):
    data = stdin.encode("utf-8") if isinstance(stdin, str) else stdin
    return subprocess.run([*command, *map(str, arguments)], input=data,
                          capture_output=True, timeout=120)


def assert_one_error_line(result, status: int, text: str) -> None:
    assert result.returncode == status
    lines = result.stderr.decode("utf-8").splitlines()
    assert len(lines) == 1 and text in lines[0], lines


@pytest.fixture(scope="module")
def model(tmp_path_factory):
    directory = tmp_path_factory.mktemp("cli")
    corpus = directory / "corpus.txt"
    corpus.write_text(CORPUS, encoding="utf-8")
    result = run("train", corpus, "-o", directory / "model", "--vocab-size", 40,
                 "--special-token", "<s>", "--punctuation", "--aho-corasick")
    assert result.returncode == 0, result.stderr
    return directory / "model"


def test_info_shows_size_merges_and_settings(model):
    result = run("info", model)
    assert result.returncode == 0
    info = dict(line.split(": ", 1) for line in result.stdout.decode().splitlines())
    assert info["vocab_size"] == repr(wrenmark.BpeTokenizer.from_pretrained(str(model)))[24:-1]
    assert int(info["merges"]) == len(json.loads((model / "merge_rules.json").read_text()))
    assert (info["pre_tokenizer"], info["special_tokens"], info["special_token_removal_method"]) == (
        "Punctuation", '["<s>"]', "AhoCorasick")


LINES = ["the cat sat on the log", "", "<s>a dog, a mat!", "   "]


@pytest.mark.parametrize("command", [(sys.executable, "-m", "wrenmark"), (str(SCRIPT),)])
def test_encode_then_decode_round_trips_line_by_line(model, command):
    tokenizer = wrenmark.BpeTokenizer.from_pretrained(str(model))
    encoded = run("encode", "-m", model, stdin="\n".join(LINES) + "\n", command=command)
    assert encoded.returncode == 0, encoded.stderr
    id_lines = encoded.stdout.decode().splitlines()
    assert [list(map(int, line.split())) for line in id_lines] == [tokenizer.encode(t).ids for t in LINES]
    decoded = run("decode", "-m", model, "-", stdin=encoded.stdout.decode(), command=command)
    assert decoded.stdout.decode().split("\n")[:-1] == [tokenizer.decode(tokenizer.encode(t).ids) for t in LINES]


@pytest.mark.parametrize("option, render", [
    ("--ids", lambda encoding: " ".join(map(str, encoding.ids))),
    ("--tokens", lambda encoding: " ".join(encoding.tokens)),
    ("--jsonl", lambda encoding: json.dumps({"ids": encoding.ids, "tokens": encoding.tokens})),
])
def test_encode_formats_from_a_file(model, tmp_path, option, render):
    tokenizer = wrenmark.BpeTokenizer.from_pretrained(str(model))
    source = tmp_path / "input.txt"
    source.write_text("\n".join(LINES), encoding="utf-8")       # no final line feed
    result = run("encode", "-m", model, source, option)
    assert result.stdout.decode().splitlines() == [render(tokenizer.encode(t)) for t in LINES]


@pytest.mark.parametrize("arguments, stdin, status, error", [
    (["encode", "-m", "{missing}"], "a", 1, "no model directory at"),
    (["info", "{missing}"], "", 1, "no model directory at"),
    (["info", "{corpus}"], "", 1, "no model directory at"),
    (["encode", "-m", "{model}"], "the zebra\n", 1, "line 1: the id for token z does not exist"),
    (["encode", "-m", "{model}", "{missing}"], "", 1, "cannot read"),
    (["encode", "-m", "{model}"], b"a cat\n\xff\n", 1, "line 2: not valid UTF-8"),
    (["decode", "-m", "{model}"], "1 2\n3 x\n", 1, "line 2: expected token ids"),
    (["decode", "-m", "{model}"], "4294967296\n", 1, "line 1: a token id is out of the range"),
    (["train", "{missing}", "-o", "{out}", "--vocab-size", "5"], "", 1, "cannot read the corpus"),
    (["train", "{corpus}", "-o", "{out}"], "", 2, "required: --vocab-size"),
    (["train", "{corpus}", "-o", "{out}", "--vocab-size", "-1"], "", 2, "--vocab-size"),
    (["train", "-o", "{out}", "--vocab-size", "5"], "", 2, "required: CORPUS"),
    (["train", "{corpus}", "-o", "{out}", "--vocab-size", "5", "--max-token-length", "0"], "", 1,
     "--max-token-length: max_token_length must be at least 1"),
    (["train", "{corpus}", "-o", "{out}", "--vocab-size", "5", "--min-frequency", "-2"], "", 1,
     "--min-frequency: min_frequency must be at least 0"),
    (["encode", "-m", "{model}", "--ids", "--tokens"], "", 2, "not allowed with"),
    (["encode"], "", 2, "required: -m/--model"),
    (["frobnicate"], "", 2, "invalid choice"),
    ([], "", 2, "required: COMMAND"),
])
def test_exit_statuses_and_error_lines(model, tmp_path, arguments, stdin, status, error):
    corpus = tmp_path / "corpus.txt"
    corpus.write_text(CORPUS)
    names = {"model": model, "missing": tmp_path / "missing", "corpus": corpus, "out": tmp_path / "out"}
    result = run(*(argument.format(**names) for argument in arguments), stdin=stdin)
    assert_one_error_line(result, status, error)
    assert b"Traceback" not in result.stderr


@pytest.mark.parametrize("command", ["", "train", "encode", "decode", "info"])
def test_help(command):
    result = run(*filter(None, [command]), "--help")
    assert result.returncode == 0
    assert result.stdout.decode().startswith(f"usage: wrenmark {command}".rstrip())


# Options that set the tokenizer's attributes, and what the saved config.json then holds.
FEATURES = [
    ("--unknown-token", "unknown_token", ["--unknown-token", "<s>"], {"unknown_token": "<s>"}),
    ("--merge-all-occurrences", "merge_all_occurrences", ["--merge-all-occurrences"],
     {"merge_all_occurrences": True}),
    ("--min-frequency", "min_frequency", ["--min-frequency", "2"], {"min_frequency": 2}),
    ("--max-token-length", "max_token_length", ["--max-token-length", "3"], {"max_token_length": 3}),
    ("--progress", "show_progress", ["--progress"], {}),
    ("--byte-fallback", "byte_fallback", ["--byte-fallback"], {"byte_fallback": True}),
]


@pytest.mark.parametrize("option, attribute, arguments, saved", FEATURES)
def test_feature_options_train_and_save(tmp_path, option, attribute, arguments, saved):
    corpus = tmp_path / "corpus.txt"
    corpus.write_text(CORPUS)
    result = run("train", corpus, "-o", tmp_path / "model", "--vocab-size", 30,
                 "--special-token", "<s>", *arguments)
    assert result.returncode == 0, result.stderr
    config = json.loads((tmp_path / "model" / "config.json").read_text())
    assert saved.items() <= config.items()


def test_several_corpora_train_as_their_joined_text(tmp_path):
    parts = [tmp_path / "one.txt", tmp_path / "two.txt"]
    parts[0].write_text(CORPUS[:300])
    parts[1].write_text(CORPUS[300:])
    (tmp_path / "joined.txt").write_text(CORPUS[:300] + "\n" + CORPUS[300:])
    assert run("train", *parts, "-o", tmp_path / "several", "--vocab-size", 40).returncode == 0
    assert run("train", tmp_path / "joined.txt", "-o", tmp_path / "one", "--vocab-size", 40).returncode == 0
    for name in ("config.json", "merge_rules.json"):
        assert (tmp_path / "several" / name).read_bytes() == (tmp_path / "one" / name).read_bytes()


@pytest.mark.parametrize("arguments", [
    [],
    ["--special-token", "<s>", "--special-token", 'é"\\\t\u0001☃', "--punctuation", "--aho-corasick"],
    ["--special-token", "<s>", "--unknown-token", "<s>", "--merge-all-occurrences", "--min-frequency", "2",
     "--max-token-length", "3"],
], ids=["plain", "odd-special-tokens", "optional-members"])
def test_info_shows_the_saved_files_member_by_member(tmp_path, arguments):
    corpus = tmp_path / "corpus.txt"
    corpus.write_text(CORPUS + 'é"\\\t\u0001☃\n', encoding="utf-8")
    assert run("train", corpus, "-o", tmp_path / "model", "--vocab-size", 45, *arguments).returncode == 0
    config = json.loads((tmp_path / "model" / "config.json").read_text(encoding="utf-8"))
    merges = json.loads((tmp_path / "model" / "merge_rules.json").read_text(encoding="utf-8"))
    tokenizer = wrenmark.BpeTokenizer.from_pretrained(str(tmp_path / "model"))
    expected = [f"vocab_size: {repr(tokenizer)[24:-1]}", f"merges: {len(merges)}"] + [
        f"{name}: {value if isinstance(value, str) else json.dumps(value, ensure_ascii=False)}"
        for name, value in config.items()]
    result = run("info", tmp_path / "model")
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode("utf-8") == "\n".join(expected) + "\n"


def run_with_small_batches(monkeypatch, *arguments, stdin: bytes):
    """Runs the command in this process with batches of three lines, so that a bad line can sit
    inside a batch or at either end of one; (exit status, standard output, standard error)."""
    output, errors = io.BytesIO(), io.StringIO()
    monkeypatch.setattr(cli, "BATCH_LINES", 3)
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(stdin)))
    monkeypatch.setattr(sys, "stdout", io.TextIOWrapper(output))
    monkeypatch.setattr(sys, "stderr", errors)
    status = cli.main(list(map(str, arguments)))
    sys.stdout.flush()
    return status, output.getvalue(), errors.getvalue()


GOOD_TEXTS = ["the cat", "", "a dog, a mat!", "<s>the log", "sat on", "   ", "the mat."]


@pytest.mark.parametrize("command, bad_line, error", [
    ("encode", b"a \xff cat", "not valid UTF-8"),
    ("encode", b"the zebra", "the id for token z does not exist"),
    ("decode", b"3 x", "expected token ids separated by spaces"),
    ("decode", b"1 4294967296", "a token id is out of the range 0 to 4294967295"),
    ("decode", b"\xff", "not valid UTF-8"),
])
@pytest.mark.parametrize("position", [1, 2, 3, 4, 7], ids=lambda position: f"line{position}")
def test_a_bad_line_comes_after_every_good_line_before_it(monkeypatch, model, command, bad_line, error, position):
    tokenizer = wrenmark.BpeTokenizer.from_pretrained(str(model))
    encodings = [tokenizer.encode(text) for text in GOOD_TEXTS]
    if command == "encode":
        good_lines = [text.encode() for text in GOOD_TEXTS]
        outputs = [" ".join(map(str, encoding.ids)) for encoding in encodings]
    else:
        good_lines = [" ".join(map(str, encoding.ids)).encode() for encoding in encodings]
        outputs = [tokenizer.decode(encoding.ids) for encoding in encodings]
    lines = good_lines[:position - 1] + [bad_line] + good_lines[position - 1:]
    status, output, errors = run_with_small_batches(monkeypatch, command, "-m", model, stdin=b"\n".join(lines) + b"\n")
    assert output.decode("utf-8") == "".join(line + "\n" for line in outputs[:position - 1])
    assert errors == f"wrenmark {command}: error: line {position}: {error}\n"
    assert status == 1


def test_the_first_bad_line_is_named_when_a_later_one_is_bad_in_another_way(monkeypatch, model):
    status, output, errors = run_with_small_batches(monkeypatch, "encode", "-m", model,
                                                    stdin=b"the cat\nthe zebra\n\xff\n")
    assert output.decode() == " ".join(map(str, wrenmark.BpeTokenizer.from_pretrained(str(model))
                                           .encode("the cat").ids)) + "\n"
    assert (status, errors) == (1, "wrenmark encode: error: line 2: the id for token z does not exist\n")
