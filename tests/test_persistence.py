"""The model directory: the five files that train() writes and BpeTokenizer.from_pretrained reads."""

import json
import os
import pathlib
import random
import stat
import subprocess
import sys
import tempfile

import pytest

from wrenmark import BpeTokenizer, PreTokenization, SpecialTokenRemovalMethod

MODEL_FILES = ["config.json", "token_table.json", "merge_rules.json", "save_ranks.json", "pairs_to_merge.json"]


def layout(value):
    """The bytes the model files must have: Python's json module with two-space indentation and
    without ASCII escaping happens to follow the same rules (lower-case \\u00xx, 0x7F, non-ASCII
    and "/" unchanged, "{}" and "[]" for empty containers, no final line break)."""
    return json.dumps(value, indent=2, ensure_ascii=False)


def read_directory(directory):
    return {name: (directory / name).read_bytes().decode("utf-8") for name in MODEL_FILES}


def train_and_save(tmp_path, corpus, target, output_dir, pretokenization=None, **options):
    corpus_path = tmp_path / "corpus.txt"
    corpus_path.write_text(corpus, encoding="utf-8")
    tokenizer = BpeTokenizer(
        str(corpus_path),
        target,
        pretokenization or PreTokenization.whitespace(),
        save_model=True,
        output_dir=str(output_dir),
        **options,
    )
    tokenizer.train()
    return tokenizer


def training_saves():
    """Whether train() writes the model directory; the tests of writing need it."""
    with tempfile.TemporaryDirectory() as scratch:
        try:
            train_and_save(pathlib.Path(scratch), "ab", 3, pathlib.Path(scratch) / "model")
        except RuntimeError:
            return False
        return (pathlib.Path(scratch) / "model" / "config.json").exists()


needs_saving = pytest.mark.skipif(not training_saves(), reason="train() does not call write_model_directory yet")


@pytest.fixture
def trained_directory(tmp_path):
    """Trains on `corpus` and saves into tmp_path / name; returns the tokenizer and the directory."""

    def make(corpus, target, name="model", **options):
        directory = tmp_path / name
        return train_and_save(tmp_path, corpus, target, directory, **options), directory

    return make


def vocabulary(tokenizer):
    size = int(repr(tokenizer).split("=")[1].rstrip(")"))
    return [tokenizer.get_token_by_id(token_id) for token_id in range(size)]


# ---------------------------------------------------------------------------------------------
# Writing


@needs_saving
def test_config_with_special_tokens_is_written_byte_for_byte(trained_directory):
    _, directory = trained_directory("a b", 300, pretokenization=PreTokenization.punctuation(),
                                     special_tokens=["[CLS]", "[SEP]"])
    assert (directory / "config.json").read_bytes() == (
        b'{\n  "target_vocab_size": 300,\n  "pre_tokenizer": "Punctuation",\n  "special_tokens": [\n'
        b'    "[CLS]",\n    "[SEP]"\n  ],\n  "special_token_removal_method": "Simple"\n}'
    )


@needs_saving
def test_config_without_special_tokens_writes_an_empty_array_on_one_line(trained_directory):
    _, directory = trained_directory("a b", 7, special_token_removal_method=SpecialTokenRemovalMethod.aho_corasick())
    assert (directory / "config.json").read_bytes() == (
        b'{\n  "target_vocab_size": 7,\n  "pre_tokenizer": "Whitespace",\n  "special_tokens": [],\n'
        b'  "special_token_removal_method": "AhoCorasick"\n}'
    )


@needs_saving
def test_a_model_with_one_merge_is_written_byte_for_byte(trained_directory):
    # a b c </w> are the alphabet; (a, b) is the only pair seen twice, so it is the one merge.
    _, directory = trained_directory("ab abc", 5)
    files = {name: (directory / name).read_bytes() for name in MODEL_FILES}
    assert files["token_table.json"] == (
        b'{\n  "id_to_token": [\n    "a",\n    "b",\n    "c",\n    "</w>",\n    "ab"\n  ],\n'
        b'  "token_to_id": {\n    "a": 0,\n    "b": 1,\n    "c": 2,\n    "</w>": 3,\n    "ab": 4\n  }\n}'
    )
    assert files["merge_rules.json"] == b"[\n  [\n    0,\n    1\n  ]\n]"
    assert files["save_ranks.json"] == b'{\n  "0_1": 0\n}'
    assert files["pairs_to_merge.json"] == b'{\n  "0_1": 4\n}'


@needs_saving
def test_a_model_without_merges_writes_empty_containers(trained_directory):
    _, directory = trained_directory("abc", 2)
    assert (directory / "merge_rules.json").read_bytes() == b"[]"
    assert (directory / "save_ranks.json").read_bytes() == b"{}"
    assert (directory / "pairs_to_merge.json").read_bytes() == b"{}"


STRANGE_TOKENS = ['say "hi"', "back\\slash", "tab\there", "new\nline", "\x00\x01\x1f", "\x7f", "é/ü", "\b\f\r", "</w>x"]


@needs_saving
def test_strings_are_escaped_by_the_table_and_everything_else_is_kept(trained_directory):
    _, directory = trained_directory("x", 1, special_tokens=STRANGE_TOKENS)
    config = (directory / "config.json").read_text(encoding="utf-8")
    for escaped in ['"say \\"hi\\""', '"back\\\\slash"', '"tab\\there"', '"new\\nline"', '"\\u0000\\u0001\\u001f"',
                    '"\x7f"', '"é/ü"', '"\\b\\f\\r"', '"</w>x"']:
        assert f"\n    {escaped}" in config
    table = (directory / "token_table.json").read_text(encoding="utf-8")
    assert '\n    "\\u0000\\u0001\\u001f": 4,' in table


CORPORA = [
    pytest.param("the cat sat on the mat, the cat ate", 40, [], id="words"),
    pytest.param("aaaa aaa aa a " * 3, 30, [], id="repeated-merges"),
    pytest.param('quote" back\\ ctl\x01\x1f del\x7f ünï \u20ac\U0001F600 x</w>y', 60, ["<s>", "\t"], id="strange"),
    pytest.param("", 10, ["only"], id="empty-corpus"),
]


@needs_saving
@pytest.mark.parametrize("corpus, target, special_tokens", CORPORA)
def test_every_file_has_the_layout_and_the_content_of_the_model(trained_directory, corpus, target, special_tokens):
    tokenizer, directory = trained_directory(corpus, target, special_tokens=special_tokens)
    files = read_directory(directory)
    tokens = vocabulary(tokenizer)

    assert files["config.json"] == layout({"target_vocab_size": target, "pre_tokenizer": "Whitespace",
                                           "special_tokens": special_tokens, "special_token_removal_method": "Simple"})
    assert files["token_table.json"] == layout({"id_to_token": tokens,
                                                "token_to_id": {token: index for index, token in enumerate(tokens)}})
    merges = json.loads(files["merge_rules.json"])
    assert files["merge_rules.json"] == layout(merges)
    # Members in merge order, each pair once, with the rank of its last merge.
    ranks = {}
    for rank, (first, second) in enumerate(merges):
        ranks[f"{first}_{second}"] = rank
    ordered_keys = list(dict.fromkeys(f"{first}_{second}" for first, second in merges))
    assert files["save_ranks.json"] == layout({key: ranks[key] for key in ordered_keys})
    assert files["pairs_to_merge.json"] == layout(
        {f"{a}_{b}": tokens.index(tokens[a] + tokens[b]) for a, b in (map(int, key.split("_")) for key in ordered_keys)}
    )


@needs_saving
def test_two_trainings_in_different_processes_write_identical_directories(trained_directory, tmp_path):
    corpus = "low lower lowest newer wider new wide " * 20
    _, first = trained_directory(corpus, 40, name="first")
    script = (
        "import sys, wrenmark\n"
        "t = wrenmark.BpeTokenizer(sys.argv[1], 40, wrenmark.PreTokenization.whitespace(), save_model=True,"
        " output_dir=sys.argv[2])\n"
        "t.train()\n"
    )
    second = tmp_path / "second"
    subprocess.run([sys.executable, "-c", script, str(tmp_path / "corpus.txt"), str(second)], check=True,
                   capture_output=True)
    for name in MODEL_FILES:
        assert (first / name).read_bytes() == (second / name).read_bytes(), name


@needs_saving
def test_saving_creates_missing_parents(trained_directory):
    _, directory = trained_directory("ab ab", 5, name="deep/er/model")
    assert sorted(os.listdir(directory)) == sorted(MODEL_FILES)


@needs_saving
def test_saving_into_an_existing_directory_replaces_the_model_files_and_keeps_the_rest(trained_directory, tmp_path):
    directory = tmp_path / "model"
    directory.mkdir()
    (directory / "notes.txt").write_text("mine")
    (directory / "config.json").write_text("stale")
    trained_directory("ab ab", 5)
    assert sorted(os.listdir(directory)) == sorted(MODEL_FILES + ["notes.txt"])
    assert (directory / "notes.txt").read_text() == "mine"
    assert json.loads((directory / "config.json").read_text())["target_vocab_size"] == 5


@needs_saving
@pytest.mark.parametrize("mode", [0o600, 0o640, 0o755])
def test_saving_over_a_model_file_keeps_its_permission_bits(tmp_path, mode):
    model = tmp_path / "model"
    train_and_save(tmp_path, "ab ab", 5, model)
    for name in MODEL_FILES:
        (model / name).chmod(mode)
    train_and_save(tmp_path, "ab ab cd", 8, model)
    assert {name: stat.S_IMODE((model / name).stat().st_mode) for name in MODEL_FILES} == dict.fromkeys(
        MODEL_FILES, mode)


@pytest.mark.parametrize("umask", [0o022, 0o077])
def test_a_new_model_file_gets_the_mode_that_the_umask_leaves(tmp_path, umask):
    previous = os.umask(umask)
    try:
        train_and_save(tmp_path, "ab ab", 5, tmp_path / "model")
    finally:
        os.umask(previous)
    modes = {stat.S_IMODE((tmp_path / "model" / name).stat().st_mode) for name in MODEL_FILES}
    assert modes == {0o666 & ~umask}


def test_saving_writes_through_symbolic_links_and_keeps_them(tmp_path):
    model, kept = tmp_path / "model", tmp_path / "kept"
    train_and_save(tmp_path, "ab ab", 5, model)
    kept.mkdir()
    # An absolute link, a relative one, and a chain of two links.
    links = {"config.json": kept / "config.json", "merge_rules.json": pathlib.Path("../kept/rules.json"),
             "save_ranks.json": model / "ranks-link"}
    (kept / "config.json").write_text("old")
    (kept / "config.json").chmod(0o640)
    (kept / "rules.json").write_text("old")
    (kept / "ranks.json").write_text("old")
    (model / "ranks-link").symlink_to(kept / "ranks.json")
    for name, target in links.items():
        (model / name).unlink()
        (model / name).symlink_to(target)

    train_and_save(tmp_path, "ab ab cd", 8, model)
    train_and_save(tmp_path, "ab ab cd", 8, tmp_path / "plain")
    for name, target in links.items():
        assert (model / name).is_symlink() and os.readlink(model / name) == str(target)
        assert (model / name).read_bytes() == (tmp_path / "plain" / name).read_bytes()
    assert (model / "ranks-link").is_symlink()
    assert stat.S_IMODE((kept / "config.json").stat().st_mode) == 0o640
    assert sorted(path.name for path in kept.iterdir()) == ["config.json", "ranks.json", "rules.json"]
    assert not [path for path in model.iterdir() if path.name.endswith(".tmp")]


def test_a_relative_output_dir_is_relative_to_the_current_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "corpus.txt").write_text("ab ab")
    tokenizer = BpeTokenizer("corpus.txt", 5, PreTokenization.whitespace(), save_model=True, output_dir="relative")
    tokenizer.train()
    assert vocabulary(BpeTokenizer.from_pretrained(str(tmp_path / "relative"))) == vocabulary(tokenizer)


def assert_still_trained(tokenizer, size):
    assert repr(tokenizer) == f"BpeTokenizer(vocab_size={size})"
    with pytest.raises(RuntimeError, match="^Cannot train a pretrained model$"):
        tokenizer.train()


@needs_saving
@pytest.mark.parametrize(
    "output_dir, prepare, message, left",
    [
        ("out", lambda output: output.write_text("a file"), "File Error: Not a directory (os error 20)", None),
        ("out/sub", lambda output: output.parent.write_text("a file"), "File Error: Not a directory (os error 20)",
         None),
        ("out", lambda output: (output / "pairs_to_merge.json").mkdir(parents=True),
         "File Error: Is a directory (os error 21)", MODEL_FILES),
        (None, lambda output: None, "Output directory not provided but save_model is true", None),
    ],
    ids=["output-is-a-file", "parent-is-a-file", "model-file-is-a-directory", "no-output-dir"],
)
def test_a_failed_save_raises_and_leaves_the_tokenizer_trained(tmp_path, capfd, output_dir, prepare, message, left):
    output = tmp_path / (output_dir or "unused")
    prepare(output)
    (tmp_path / "corpus.txt").write_text("ab ab")
    tokenizer = BpeTokenizer(str(tmp_path / "corpus.txt"), 5, PreTokenization.whitespace(), save_model=True,
                             output_dir=None if output_dir is None else str(output))
    with pytest.raises(RuntimeError) as raised:
        tokenizer.train()
    assert str(raised.value) == message
    captured = capfd.readouterr()
    assert captured.err == ""
    assert "build initial pair took time: " in captured.out  # the save comes after the whole training
    assert_still_trained(tokenizer, 5)
    if left is not None:  # files written before the failure stay, and no temporary file is left behind
        assert sorted(os.listdir(output)) == sorted(left)
        assert json.loads((output / "config.json").read_text())["target_vocab_size"] == 5


def test_without_save_model_nothing_is_written(tmp_path):
    corpus_path = tmp_path / "corpus.txt"
    corpus_path.write_text("ab ab")
    BpeTokenizer(str(corpus_path), 5, PreTokenization.whitespace(), output_dir=str(tmp_path / "unused")).train()
    assert not (tmp_path / "unused").exists()


@needs_saving
@pytest.mark.parametrize("corpus, target, special_tokens", CORPORA)
def test_a_saved_model_loads_back_equal(trained_directory, corpus, target, special_tokens):
    tokenizer, directory = trained_directory(corpus, target, special_tokens=special_tokens)
    loaded = BpeTokenizer.from_pretrained(str(directory))
    assert repr(loaded) == repr(tokenizer)
    tokens = vocabulary(tokenizer)
    assert vocabulary(loaded) == tokens
    assert [loaded.get_id_by_token(token) for token in tokens] == list(range(len(tokens)))
    if hasattr(loaded, "encode"):
        text = corpus + " " + " ".join(special_tokens)
        for name in ("tokens", "ids", "token_types"):
            assert getattr(loaded.encode(text), name) == getattr(tokenizer.encode(text), name)
        ids = tokenizer.encode(text).ids
        assert loaded.decode(ids) == tokenizer.decode(ids)
        # A character that training never saw has no token: both refuse the text alike.
        for model in (loaded, tokenizer):
            with pytest.raises(RuntimeError, match="^the id for token \\u2603 does not exist$"):
                model.encode(text + " \u2603")
    assert_still_trained(loaded, len(tokens))


# ---------------------------------------------------------------------------------------------
# Loading hand-written directories

BASE_MODEL = {
    "config.json": '{"target_vocab_size": 300, "pre_tokenizer": "Whitespace", "special_tokens": [],'
                   ' "special_token_removal_method": "Simple"}',
    "token_table.json": '{"id_to_token": ["a", "b", "ab"], "token_to_id": {"a": 0, "b": 1, "ab": 2}}',
    "merge_rules.json": "[[0, 1]]",
    "save_ranks.json": '{"0_1": 0}',
    "pairs_to_merge.json": '{"0_1": 2}',
}


def write_model(directory, **replacements):
    """The a/b/ab model, with some files replaced: file stem (config, token_table, ...) -> text or bytes;
    None leaves the file out."""
    directory.mkdir(parents=True, exist_ok=True)
    files = dict(BASE_MODEL)
    for stem, content in replacements.items():
        files[stem + ".json"] = content
    for name, content in files.items():
        if content is None:
            continue
        data = content if isinstance(content, bytes) else content.encode("utf-8")
        (directory / name).write_bytes(data)
    return directory


def load_error(directory):
    with pytest.raises(RuntimeError) as raised:
        BpeTokenizer.from_pretrained(str(directory))
    return str(raised.value)


def json_fault(description, file, line, column):
    return f"Json serialization error {description} in {file} at line {line} column {column}"


LOADS = [
    # config.json: records in any member order, unknown members skipped, or as arrays
    ("config", '{"special_token_removal_method": "AhoCorasick", "extra": {"x": [1, -2.5e3, true, null]},'
               ' "special_tokens": ["[CLS]", "[CLS]"], "pre_tokenizer": "Punctuation", "target_vocab_size": 7}', {}),
    ("config", '[18446744073709551615, "Punctuation", ["<s>"], "Simple"]', {}),
    ("config", '{"target_vocab_size": 0, "pre_tokenizer": {"Punctuation": null}, "special_tokens": [],'
               ' "special_token_removal_method": {"AhoCorasick" : null}}', {}),
    ("config", '\r\n\t {"target_vocab_size":300,"pre_tokenizer":"Whitespace","special_tokens":[],'
               '"special_token_removal_method":"Simple"} \n\n', {}),
    ("config", '{"target_vocab_size": 300, "pre\\u005ftokenizer": "Whitespace", "special_tokens": [],'
               ' "special_token_removal_method": "Simple"}', {}),
    # token_table.json: the two directions are taken as written
    ("token_table", '[["a", "b", "ab"], {"ab": 2, "b": 1, "a": 0}]', {"ab": 2}),
    ("token_table", '{"token_to_id": {"a": 0, "a": 2, "\\u0062": 1}, "id_to_token": ["a", "b", "ab", "a"]}',
     {"a": 2, "b": 1, 3: "a"}),
    ("token_table", '{"id_to_token": ["x"], "token_to_id": {"y": 4294967295}, "z": 1}', {"y": 4294967295, 0: "x"}),
    ("token_table", '{"id_to_token": [], "token_to_id": {}}', {"size": 0}),
    # merge rules and the pair maps
    ("merge_rules", "[]", {}),
    ("merge_rules", "[[4294967295, 0], [0, 1], [0, 1]]", {}),
    ("save_ranks", '{"+0_1": 18446744073709551615, "00_0001": 3, "1_2_9": 1, "1_2_x": 2}', {}),
    ("pairs_to_merge", '{"0_1": 5, "0_1": 2, "+4294967295_0": 4294967295}', {}),
    ("pairs_to_merge", "{}", {}),
]


@pytest.mark.parametrize("stem, content, checks", LOADS)
def test_hand_written_models_load(tmp_path, stem, content, checks):
    tokenizer = BpeTokenizer.from_pretrained(str(write_model(tmp_path / "model", **{stem: content})))
    size = checks.get("size", 3 if stem != "token_table" else None)
    if size is not None:
        assert repr(tokenizer) == f"BpeTokenizer(vocab_size={size})"
    for key, expected in checks.items():
        if isinstance(key, int):
            assert tokenizer.get_token_by_id(key) == expected
        elif key != "size":
            assert tokenizer.get_id_by_token(key) == expected
    assert_still_trained(tokenizer, len(vocabulary(tokenizer)))


def test_a_loaded_model_answers_lookups_and_refuses_training(tmp_path):
    tokenizer = BpeTokenizer.from_pretrained(str(write_model(tmp_path / "model")))
    assert vocabulary(tokenizer) == ["a", "b", "ab"]
    assert tokenizer.get_id_by_token("ab") == 2
    with pytest.raises(RuntimeError, match="^the token for id 3 does not exist$"):
        tokenizer.get_token_by_id(3)
    with pytest.raises(RuntimeError, match="^the id for token c does not exist$"):
        tokenizer.get_id_by_token("c")
    assert_still_trained(tokenizer, 3)


def test_from_pretrained_is_static_and_takes_a_keyword(tmp_path):
    directory = str(write_model(tmp_path / "model"))
    first = BpeTokenizer.from_pretrained(files_path=directory)
    second = first.from_pretrained(directory)
    assert type(second) is BpeTokenizer and second is not first
    assert BpeTokenizer.from_pretrained.__text_signature__ == "(files_path)"
    assert not BpeTokenizer.from_pretrained.__doc__


@pytest.mark.parametrize("argument", [7, None, b"model", pathlib.Path("model")])
def test_from_pretrained_refuses_a_path_that_is_not_str(argument):
    with pytest.raises(TypeError, match="^argument 'files_path': .* cannot be converted to 'PyString'$"):
        BpeTokenizer.from_pretrained(argument)


def test_from_pretrained_names_itself_in_argument_errors():
    with pytest.raises(TypeError, match=r"BpeTokenizer\.from_pretrained\(\)"):
        BpeTokenizer.from_pretrained()


FAULTS = [
    # shape faults of the records
    ("config", '{"target_vocab_size": 300, "pre_tokenizer": "Whitespace", "special_token_removal_method": "Simple"}',
     "missing field `special_tokens`", 1, 99),
    ("config", '{"target_vocab_size": 300, "target_vocab_size": 300}', "duplicate field `target_vocab_size`", 1, 28),
    ("config", '{"target_vocab_size": 1, "pre_tokenizer": "whitespace"}',
     "unknown variant `whitespace`, expected `Whitespace` or `Punctuation`", 1, 43),
    ("config", '{"target_vocab_size": 1, "pre_tokenizer": {"Whitespace": 1}}', "expected null, found `1`", 1, 58),
    ("config", '{"target_vocab_size": 1, "pre_tokenizer": {"Whitespace": null, "Punctuation": null}}',
     "expected a single member naming the variant, found more", 1, 64),
    ("config", '{"target_vocab_size": 1, "pre_tokenizer": {}}',
     "expected a single member naming the variant, found none", 1, 44),
    ("config", '{"target_vocab_size": 1, "pre_tokenizer": null}',
     "expected a variant name, `Whitespace` or `Punctuation`, found `null`", 1, 43),
    ("config", '[300, "Whitespace", []]', "expected 4 values for Config, found 3", 1, 23),
    ("config", '[300, "Whitespace", [], "Simple", "Simple"]', "expected 4 values for Config, found more", 1, 35),
    ("config", '"config"', "expected a Config object or array, found `\"config\"`", 1, 1),
    ("config", '{"special_tokens": ["a", 1]}', "expected a string, found `1`", 1, 26),
    ("config", '{"special_tokens": "a"}', "expected an array of strings, found `\"a\"`", 1, 20),
    # integers only, within range
    ("config", '{"target_vocab_size": -1}', "expected an integer from 0 to 18446744073709551615, found `-1`", 1, 23),
    ("config", '{"target_vocab_size": 1.5}', "expected an integer from 0 to 18446744073709551615, found `1.5`", 1, 23),
    ("config", '{"target_vocab_size": 1e2}', "expected an integer from 0 to 18446744073709551615, found `1e2`", 1, 23),
    ("config", '{"target_vocab_size": 18446744073709551616}',
     "expected an integer from 0 to 18446744073709551615, found `18446744073709551616`", 1, 23),
    ("config", '{"target_vocab_size": "300"}',
     "expected an integer from 0 to 18446744073709551615, found `\"300\"`", 1, 23),
    ("token_table", '{"token_to_id": {"a": 4294967296}}', "expected an integer from 0 to 4294967295, found `4294967296`",
     1, 23),
    ("token_table", '["a", {}]', "expected an array of strings, found `\"a\"`", 1, 2),
    ("token_table", '{"id_to_token": [], "token_to_id": {}, "id_to_token": []}', "duplicate field `id_to_token`", 1, 40),
    ("merge_rules", "[[0]]", "expected a merge rule of 2 token ids, found 1", 1, 4),
    ("merge_rules", "[[0, 1, 2]]", "expected a merge rule of 2 token ids, found more", 1, 9),
    ("merge_rules", '[[0, "1"]]', "expected an integer from 0 to 4294967295, found `\"1\"`", 1, 6),
    ("merge_rules", "[[0, 1], 5]", "expected a merge rule (an array of 2 token ids), found `5`", 1, 10),
    ("merge_rules", "{}", "expected an array of merge rules, found an object", 1, 1),
    ("save_ranks", "[]", "expected an object of pair keys, found an array", 1, 1),
    ("pairs_to_merge", '{"0_1": 4294967296}', "expected an integer from 0 to 4294967295, found `4294967296`", 1, 9),
    # grammar faults, with the place they were found
    ("config", "", "EOF while parsing a value", 1, 1),
    ("config", "  \n ", "EOF while parsing a value", 2, 2),
    ("save_ranks", '{"0_1": 0', "EOF while parsing an object", 1, 10),
    ("merge_rules", "[[0, 1]", "EOF while parsing an array", 1, 8),
    ("merge_rules", "[[0, 1]] x", "trailing characters", 1, 10),
    ("merge_rules", "[]\n\n[]", "trailing characters", 3, 1),
    ("save_ranks", '{"0_1": 0} {}', "trailing characters", 1, 12),
    ("save_ranks", '{"0_1": 0}}', "trailing characters", 1, 11),
    ("save_ranks", '{"0_1": 0,}', "key must be a string", 1, 11),
    ("save_ranks", '{"0_1" 0}', "expected `:`", 1, 8),
    ("save_ranks", '{"0_1": 0 "1_2": 1}', "expected `,` or `}`", 1, 11),
    ("merge_rules", "[[0, 1]}", "expected `,` or `]`", 1, 8),
    ("merge_rules", "[[0, 01]]", "invalid number", 1, 6),
    ("merge_rules", "[[0, 1], tru]", "invalid literal", 1, 10),
    ("config", '{"extra": [1, 2,], "target_vocab_size": 1}', "expected value", 1, 17),
    ("config", '{"extra": nul}', "invalid literal", 1, 11),
    ("config", '{"extra": -}', "invalid number", 1, 11),
    ("token_table", '{"id_to_token": ["a\x01"]}', "control character (\\u0000-\\u001F) found while parsing a string", 1, 20),
    ("token_table", b'{"id_to_token": ["\xc3\xa9\xff"]}', "invalid UTF-8", 1, 20),
    ("token_table", '{"token_to_id": {"\\ud800": 1}}', "lone leading surrogate in hex escape", 1, 19),
    ("token_table", '{"id_to_token": ["\\q"]}', "invalid escape", 1, 19),
    ("token_table", '{\n  "id_to_token": ["é", "ü",\n  "x"] "token_to_id": {}}', "expected `,` or `}`", 3, 8),
]


@pytest.mark.parametrize("stem, content, description, line, column", FAULTS)
def test_faults_are_reported_with_file_line_and_column(tmp_path, capfd, stem, content, description, line, column):
    directory = write_model(tmp_path / "model", **{stem: content})
    assert load_error(directory) == json_fault(description, stem + ".json", line, column)
    assert capfd.readouterr().err == ""


BAD_PAIR_KEYS = ["12", "1_x", "_1", "1_", "1__2", "++1_2", "-1_2", "4294967296_0", "0_99999999999", " 1_2", "1_2 "]


@pytest.mark.parametrize("stem", ["save_ranks", "pairs_to_merge"])
@pytest.mark.parametrize("key", BAD_PAIR_KEYS)
def test_a_malformed_pair_key_raises_runtime_error_naming_file_and_key(tmp_path, stem, key):
    directory = write_model(tmp_path / "model", **{stem: '{"0_1": 1, ' + json.dumps(key) + ": 2}"})
    assert load_error(directory) == json_fault(f"invalid pair key `{key}`", stem + ".json", 1, 12)


def test_a_fault_later_in_the_file_comes_before_a_bad_pair_key(tmp_path):
    directory = write_model(tmp_path / "model", save_ranks='{"1": 0, "0_1": -1}')
    assert load_error(directory) == json_fault(
        "expected an integer from 0 to 18446744073709551615, found `-1`", "save_ranks.json", 1, 17)


def test_a_bad_pair_key_in_save_ranks_is_reported_before_a_broken_pairs_to_merge(tmp_path):
    directory = write_model(tmp_path / "model", save_ranks='{"x": 0}', pairs_to_merge="{")
    assert load_error(directory) == json_fault("invalid pair key `x`", "save_ranks.json", 1, 2)


def test_the_column_counts_characters(tmp_path):
    directory = write_model(tmp_path / "model", token_table='{"id_to_token": ["\u00e9\u20ac\U0001F600", 7]}')
    assert load_error(directory) == json_fault("expected a string, found `7`", "token_table.json", 1, 25)


# ---------------------------------------------------------------------------------------------
# The directory and the presence of the files


def test_a_missing_path_or_a_regular_file_is_not_a_model_directory(tmp_path):
    missing = tmp_path / "missing"
    assert load_error(missing) == f"{missing} directory does not exists or the path provided is not a directory"
    regular = tmp_path / "file"
    regular.write_text("{}")
    assert load_error(regular) == f"{regular} directory does not exists or the path provided is not a directory"


def test_a_symbolic_link_to_a_model_directory_loads(tmp_path):
    write_model(tmp_path / "model")
    (tmp_path / "link").symlink_to(tmp_path / "model")
    assert repr(BpeTokenizer.from_pretrained(str(tmp_path / "link"))) == "BpeTokenizer(vocab_size=3)"


@pytest.mark.parametrize(
    "missing, reported",
    [
        (["config"], "config.json"),
        (["token_table"], "token_table.json"),
        (["merge_rules", "token_table"], "merge_rules.json"),
        (["save_ranks", "pairs_to_merge"], "pairs_to_merge.json"),
        (["save_ranks", "token_table"], "save_ranks.json"),
    ],
)
def test_the_first_missing_file_in_alphabetical_order_is_reported(tmp_path, missing, reported):
    directory = write_model(tmp_path / "model", **dict.fromkeys(missing))
    assert load_error(directory) == f"{reported} does not exist in the directory provided"


def test_presence_is_checked_before_any_file_is_read(tmp_path):
    directory = write_model(tmp_path / "model", config="broken", pairs_to_merge=None)
    assert load_error(directory) == "pairs_to_merge.json does not exist in the directory provided"


def test_files_are_read_in_order_and_the_first_faulty_one_is_reported(tmp_path):
    directory = write_model(tmp_path / "model", merge_rules="", token_table="[")
    assert load_error(directory) == json_fault("EOF while parsing a value", "token_table.json", 1, 2)


def test_a_directory_with_a_file_name_passes_presence_and_fails_reading(tmp_path):
    directory = write_model(tmp_path / "model", merge_rules=None)
    (directory / "merge_rules.json").mkdir()
    assert load_error(directory) == "Json serialization error Is a directory (os error 21)"


# ---------------------------------------------------------------------------------------------
# Damaged files never crash the process


def damaged_versions(data, rng, flips):
    for length in range(len(data)):
        yield data[:length]
    for _ in range(flips):
        damaged = bytearray(data)
        for _ in range(rng.randint(1, 3)):
            damaged[rng.randrange(len(damaged))] ^= 1 << rng.randrange(8)
        yield bytes(damaged)


def test_truncated_and_bit_flipped_files_raise_runtime_error_or_load(tmp_path):
    files = {
        "config.json": layout({"target_vocab_size": 30, "pre_tokenizer": "Punctuation", "special_tokens": ["<s>", "é\t"],
                               "special_token_removal_method": "AhoCorasick"}),
        "token_table.json": layout({"id_to_token": ["a", "b", "ab", "\u20ac"],
                                    "token_to_id": {"a": 0, "b": 1, "ab": 2, "\u20ac": 3}}),
        "merge_rules.json": layout([[0, 1], [2, 3]]),
        "save_ranks.json": layout({"0_1": 0, "2_3": 1}),
        "pairs_to_merge.json": layout({"0_1": 2, "2_3": 4}),
    }
    rng = random.Random(20240611)
    outcomes = {"loaded": 0, "refused": 0}
    for name, content in files.items():
        for damaged in damaged_versions(content.encode("utf-8"), rng, flips=150):
            directory = write_model(tmp_path / "model", **{name[:-5]: damaged})
            try:
                tokenizer = BpeTokenizer.from_pretrained(str(directory))
            except RuntimeError as error:
                assert str(error)
                outcomes["refused"] += 1
            else:
                vocabulary(tokenizer)
                outcomes["loaded"] += 1
            write_model(directory, **{name[:-5]: content})
    assert outcomes["refused"] > outcomes["loaded"] > 0
