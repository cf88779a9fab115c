"""Training with `merge_all_occurrences`: classic BPE merges.

The differential test trains wrenmark and the literal model of the classic loop
(reference/literal_classic_training.py) on many generated corpora and compares the whole
vocabulary and the merge list in order. The corpora use tiny alphabets so that runs of one
character, ties, merges onto existing tokens and re-merged pairs happen often; some hold words
longer than 256 symbols, which the trainer keeps in its long-word form.
"""

import json
import os
import random
import tempfile
from pathlib import Path

import pytest
import wrenmark
from helpers import PRE_TOKENIZATIONS, REMOVAL_METHODS, train_on_text, vocabulary
from reference import literal_classic_training
from reference.literal_training import AHO_CORASICK, NO_MORE_PAIRS_MESSAGE, PUNCTUATION, SIMPLE, WHITESPACE
from test_training_differential import PROFILES, Case, generated_cases

CORPORA_PER_COMBINATION = 10
LONG_WORD_CORPORA = 24


@pytest.fixture
def scratch(tmp_path):
    """A directory for the many saved models: in memory when the system has /dev/shm, since saving
    syncs every file to disk."""
    memory = Path("/dev/shm")
    if not (memory.is_dir() and os.access(memory, os.W_OK)):
        yield tmp_path
        return
    with tempfile.TemporaryDirectory(dir=memory, prefix="wrenmark-test-") as directory:
        yield Path(directory)


def train_wrenmark(directory: Path, case: Case):
    """(id_to_token, merge_rules) of wrenmark's classic training, read from the saved model."""
    corpus = directory / "corpus.txt"
    corpus.write_bytes(case.text.encode("utf-8"))
    output = directory / "model"
    tokenizer = wrenmark.BpeTokenizer(
        str(corpus), case.target, PRE_TOKENIZATIONS[case.pre_tokenization](), case.special_tokens,
        REMOVAL_METHODS[case.removal_method](), save_model=True, output_dir=str(output))
    tokenizer.merge_all_occurrences = True
    tokenizer.train()
    id_to_token = json.loads((output / "token_table.json").read_text(encoding="utf-8"))["id_to_token"]
    merge_rules = [tuple(rule) for rule in json.loads((output / "merge_rules.json").read_text())]
    return id_to_token, merge_rules


def train_model(case: Case):
    return literal_classic_training.train_text(
        case.text, case.target, case.pre_tokenization, case.special_tokens, case.removal_method)


def assert_same_training(directory: Path, case: Case):
    expected = train_model(case)
    id_to_token, merge_rules = train_wrenmark(directory, case)
    assert (id_to_token, merge_rules) == (expected.id_to_token, expected.merge_rules), str(case)


def long_word_corpus(rng):
    """A few words of 257 to 700 symbols, made of runs and repeats, among short ones."""
    characters = rng.choice(["ab", "aab", "abc"])
    pieces = []
    for _ in range(rng.randint(1, 3)):
        unit = "".join(rng.choice(characters) * rng.randint(1, 4) for _ in range(rng.randint(1, 6)))
        word = ""
        while len(word) < rng.randint(257, 700):
            word += unit if rng.random() < 0.7 else rng.choice(characters) * rng.randint(1, 9)
        pieces.append(word)
    pieces += ["".join(rng.choice(characters) for _ in range(rng.randint(1, 6))) for _ in range(rng.randint(0, 8))]
    rng.shuffle(pieces)
    return " ".join(pieces)


def targets_for(rng, case: Case):
    base = len(train_model(Case(case.text, 0, case.pre_tokenization, case.special_tokens,
                                case.removal_method)).id_to_token)
    full = len(train_model(Case(case.text, 1 << 40, case.pre_tokenization, case.special_tokens,
                                case.removal_method)).id_to_token)
    return rng.sample(sorted({base, rng.randint(base, full), full, full + 7}), 2)


@pytest.mark.parametrize("removal_method", [SIMPLE, AHO_CORASICK])
@pytest.mark.parametrize("pre_tokenization", [WHITESPACE, PUNCTUATION])
@pytest.mark.parametrize("profile", sorted(PROFILES))
def test_generated_corpora_train_as_the_literal_model(scratch, profile, pre_tokenization, removal_method):
    seed = f"classic/{profile}/{pre_tokenization}/{removal_method}"
    for case in generated_cases(seed, profile, pre_tokenization, removal_method, targets_for,
                                CORPORA_PER_COMBINATION):
        assert_same_training(scratch, case)


@pytest.mark.parametrize("pre_tokenization", [WHITESPACE, PUNCTUATION])
def test_corpora_with_long_words_train_as_the_literal_model(scratch, pre_tokenization):
    rng = random.Random(f"classic/long/{pre_tokenization}")
    for _ in range(LONG_WORD_CORPORA):
        text = long_word_corpus(rng)
        special_tokens = [] if rng.random() < 0.5 else ["ab" * rng.randint(1, 3), "b"][: rng.randint(1, 2)]
        case = Case(text, 0, pre_tokenization, special_tokens, SIMPLE)
        for target in targets_for(rng, case):
            assert_same_training(scratch, Case(text, target, pre_tokenization, special_tokens, SIMPLE))


# Hand-picked cases: the run rule, stale occurrences of the default loop, zero counts, ties.
EXAMPLES = [
    # x x x merged on (x, x) becomes N x; then (N, x) and the rest.
    ("xxx", ["x", "</w>", "xx", "xxx", "xxx</w>"]),
    # The default loop skips the second "ab" of "abab" after merging (b, a) would shift it; here
    # every occurrence is merged.
    ("abab abab ab", ["a", "b", "</w>", "ab", "ab</w>", "abab</w>"]),
    # Equal counts: the larger first id wins, so (b, </w>) goes before (a, b).
    ("ab ab", ["a", "b", "</w>", "b</w>", "ab</w>"]),
    # A word of 300 a's: halved again and again, as in a short word.
    ("a" * 300, ["a", "</w>", "aa", "aaaa", "aaaaaaaa"]),
]


@pytest.mark.parametrize("text, prefix", EXAMPLES)
def test_examples_learn_the_expected_tokens(tmp_path, text, prefix):
    corpus = tmp_path / "corpus.txt"
    corpus.write_text(text)
    tokenizer = wrenmark.BpeTokenizer(str(corpus), len(prefix), wrenmark.PreTokenization.whitespace())
    tokenizer.merge_all_occurrences = True
    tokenizer.train()
    assert vocabulary(tokenizer) == prefix


def test_running_out_of_pairs_prints_the_message_without_a_line_end(tmp_path, capfd):
    corpus = tmp_path / "corpus.txt"
    corpus.write_text("ab ab")
    tokenizer = wrenmark.BpeTokenizer(str(corpus), 100, wrenmark.PreTokenization.whitespace())
    tokenizer.merge_all_occurrences = True
    tokenizer.train()
    assert vocabulary(tokenizer) == ["a", "b", "</w>", "b</w>", "ab</w>"]
    wrenmark.BpeTokenizer(str(corpus), 0, wrenmark.PreTokenization.whitespace()).train()  # flushes the line
    out = capfd.readouterr().out
    assert NO_MORE_PAIRS_MESSAGE + "vocab builder took time: " in out


# ---------------------------------------------------------------------------------------------
# The attribute


def new_tokenizer(tmp_path):
    corpus = tmp_path / "corpus.txt"
    corpus.write_text("low lower lowest low")
    return wrenmark.BpeTokenizer(str(corpus), 30, wrenmark.PreTokenization.whitespace())


def test_the_attribute_is_false_by_default_and_takes_booleans(tmp_path):
    tokenizer = new_tokenizer(tmp_path)
    assert tokenizer.merge_all_occurrences is False
    tokenizer.merge_all_occurrences = True
    assert tokenizer.merge_all_occurrences is True
    tokenizer.merge_all_occurrences = False
    assert tokenizer.merge_all_occurrences is False


@pytest.mark.parametrize("value, type_name", [(1, "int"), (0, "int"), (None, "NoneType"), ("True", "str"),
                                              (1.0, "float"), ([True], "list")])
def test_the_attribute_refuses_other_types(tmp_path, value, type_name):
    tokenizer = new_tokenizer(tmp_path)
    with pytest.raises(TypeError, match=f"^attribute 'merge_all_occurrences' must be bool, not '{type_name}'$"):
        tokenizer.merge_all_occurrences = value
    assert tokenizer.merge_all_occurrences is False


def test_the_attribute_cannot_be_deleted(tmp_path):
    tokenizer = new_tokenizer(tmp_path)
    with pytest.raises(TypeError, match="^cannot delete attribute 'merge_all_occurrences'$"):
        del tokenizer.merge_all_occurrences


def test_the_option_learns_fewer_tokens_per_word_than_the_default(tmp_path):
    text = " ".join(["lower", "lowest", "newer", "wider", "newest", "widest"] * 20)
    default = train_on_text(tmp_path, text, 40)
    corpus = tmp_path / "corpus.txt"
    classic = wrenmark.BpeTokenizer(str(corpus), 40, wrenmark.PreTokenization.whitespace())
    classic.merge_all_occurrences = True
    classic.train()
    assert len(classic.encode(text).ids) < len(default.encode(text).ids)


@pytest.mark.parametrize("trained_with", [False, True])
def test_changing_the_attribute_after_training_changes_only_the_attribute(tmp_path, trained_with):
    tokenizer = new_tokenizer(tmp_path)
    tokenizer.merge_all_occurrences = trained_with
    tokenizer.train()
    text = "lowest lower slow"
    before = (tokenizer.encode(text).ids, vocabulary(tokenizer), repr(tokenizer))
    tokenizer.merge_all_occurrences = not trained_with
    assert tokenizer.merge_all_occurrences is (not trained_with)
    assert (tokenizer.encode(text).ids, vocabulary(tokenizer), repr(tokenizer)) == before
    with pytest.raises(RuntimeError, match="^Cannot train a pretrained model$"):
        tokenizer.train()


# ---------------------------------------------------------------------------------------------
# The model directory

CONFIG_HEAD = (b'{\n  "target_vocab_size": 30,\n  "pre_tokenizer": "Whitespace",\n  "special_tokens": [],\n'
               b'  "special_token_removal_method": "Simple"')


@pytest.mark.parametrize("option, config", [
    (False, CONFIG_HEAD + b"\n}"),
    (True, CONFIG_HEAD + b',\n  "merge_all_occurrences": true\n}'),
])
def test_config_records_the_option_only_when_set(tmp_path, option, config):
    output = tmp_path / "model"
    corpus = tmp_path / "corpus.txt"
    corpus.write_text("low lower lowest low")
    tokenizer = wrenmark.BpeTokenizer(str(corpus), 30, wrenmark.PreTokenization.whitespace(),
                                      save_model=True, output_dir=str(output))
    tokenizer.merge_all_occurrences = option
    tokenizer.train()
    assert (output / "config.json").read_bytes() == config
    loaded = wrenmark.BpeTokenizer.from_pretrained(str(output))
    assert loaded.merge_all_occurrences is option
    assert loaded.encode("lowest slow").ids == tokenizer.encode("lowest slow").ids


CONFIG_MEMBERS = '"target_vocab_size": 30, "pre_tokenizer": "Whitespace", "special_tokens": [], ' \
                 '"special_token_removal_method": "Simple"'


@pytest.mark.parametrize("config, restored", [
    ("{" + CONFIG_MEMBERS + ', "merge_all_occurrences": false}', False),
    ('{"merge_all_occurrences": true, ' + CONFIG_MEMBERS + "}", True),
    ("{" + CONFIG_MEMBERS + ', "unknown": [1], "merge_all_occurrences": true}', True),
    # The array form holds the four members only.
    ('[30, "Whitespace", [], "Simple"]', False),
])
def test_the_loader_reads_the_member_anywhere_in_the_object(tmp_path, config, restored):
    directory = write_small_model(tmp_path, config)
    assert wrenmark.BpeTokenizer.from_pretrained(str(directory)).merge_all_occurrences is restored


@pytest.mark.parametrize("config, description, at", [
    ("{" + CONFIG_MEMBERS + ', "merge_all_occurrences": 1}', "expected a boolean, found `1`", "1}"),
    ("{" + CONFIG_MEMBERS + ', "merge_all_occurrences": true, "merge_all_occurrences": true}',
     "duplicate field `merge_all_occurrences`", '"merge_all_occurrences": true}'),
    ('[30, "Whitespace", [], "Simple", true]', "expected 4 values for Config, found more", "true"),
])
def test_the_loader_refuses_a_malformed_member(tmp_path, config, description, at):
    directory = write_small_model(tmp_path, config)
    with pytest.raises(RuntimeError) as raised:
        wrenmark.BpeTokenizer.from_pretrained(str(directory))
    column = config.rindex(at) + 1
    assert str(raised.value) == f"Json serialization error {description} in config.json at line 1 column {column}"


def write_small_model(tmp_path, config):
    directory = tmp_path / "model"
    directory.mkdir()
    files = {
        "config.json": config,
        "token_table.json": '{"id_to_token": ["a", "b", "ab"], "token_to_id": {"a": 0, "b": 1, "ab": 2}}',
        "merge_rules.json": "[[0, 1]]",
        "save_ranks.json": '{"0_1": 0}',
        "pairs_to_merge.json": '{"0_1": 2}',
    }
    for name, content in files.items():
        (directory / name).write_text(content)
    return directory
