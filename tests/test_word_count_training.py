"""train_from_word_counts: the literal model and train() on a corpus holding the words that often,
in that order, learn what the table teaches; faults name their item and leave the tokenizer
untrained and trainable; the command line's --word-counts names the line."""

import random
import subprocess
import sys

import pytest
import wrenmark

from helpers import PRE_TOKENIZATIONS, vocabulary
from reference.literal_training import PUNCTUATION, WHITESPACE, train_text

MODEL_FILES = ["config.json", "merge_rules.json", "pairs_to_merge.json", "save_ranks.json", "token_table.json"]


def new_tokenizer(tmp_path, target, pre_tokenization=WHITESPACE, tokens=(), output="model", classic=False):
    tokenizer = wrenmark.BpeTokenizer(str(tmp_path / "absent.txt"), target, PRE_TOKENIZATIONS[pre_tokenization](),
                                      list(tokens), save_model=True, output_dir=str(tmp_path / output))
    tokenizer.merge_all_occurrences = classic
    return tokenizer


def corpus_of(counts):
    """A text whose words first occur in the table's order, each as often as its count says."""
    words = list(counts)
    rest = [word for word, count in counts.items() for _ in range(count - 1)]
    random.Random(len(rest)).shuffle(rest)
    return " ".join(words + rest)


def random_counts(rng, characters):
    counts = {}
    for _ in range(rng.randint(1, 12)):
        word = "".join(rng.choice(characters) for _ in range(rng.randint(1, 6)))
        counts[word] = counts.get(word, 0) + rng.randint(1, 5)
    return counts


# name: (word characters, pre-tokenization, special tokens)
PROFILES = {
    "ab": ("ab", WHITESPACE, []),
    "abc_specials": ("abc", WHITESPACE, ["<s>", "[SEP]"]),
    "non_ascii": ("aé日😀", WHITESPACE, []),
    "punctuation_words": ("ab", PUNCTUATION, []),
}
CASES = [(profile, seed) for profile in PROFILES for seed in range(6)]


@pytest.mark.parametrize("profile, seed", CASES)
def test_word_counts_train_as_the_literal_model_on_a_corpus_of_them(tmp_path, profile, seed):
    characters, pre_tokenization, tokens = PROFILES[profile]
    counts = random_counts(random.Random(f"{profile}{seed}"), characters)
    if pre_tokenization == PUNCTUATION and seed % 2:
        counts = {**counts, ",": 3, "!": 1}
    target = len(tokens) + 25
    expected = train_text(corpus_of(counts), target, pre_tokenization, tokens)
    tokenizer = new_tokenizer(tmp_path, target, pre_tokenization, tokens)
    tokenizer.train_from_word_counts(counts)
    limit = expected.order_sensitive_at
    assert vocabulary(tokenizer)[:limit] == expected.id_to_token[:limit]


@pytest.mark.parametrize("classic", [False, True])
@pytest.mark.parametrize("hand_over", [
    lambda counts: counts,
    lambda counts: list(counts.items()),
    lambda counts: ((word, count) for word, count in counts.items()),
    lambda counts: [[word, count] for word, count in counts.items()],
    # The same word twice: the counts add up, the first place counts.
    lambda counts: [(word, 1) for word in counts] + [(word, count - 1) for word, count in counts.items() if count > 1],
])
def test_every_form_saves_the_files_of_train_on_the_corpus(tmp_path, classic, hand_over):
    counts = {"low": 5, "lower": 2, "newest": 6, "widest": 3, "日本": 2, "new": 1}
    (tmp_path / "absent.txt").write_text(corpus_of(counts))
    on_file = new_tokenizer(tmp_path, 40, tokens=["<s>"], output="on_file", classic=classic)
    on_file.train()
    (tmp_path / "absent.txt").unlink()
    tokenizer = new_tokenizer(tmp_path, 40, tokens=["<s>"], classic=classic)
    tokenizer.train_from_word_counts(hand_over(counts))
    for name in MODEL_FILES:
        assert (tmp_path / "model" / name).read_bytes() == (tmp_path / "on_file" / name).read_bytes(), name


def test_a_word_that_spells_a_special_token_is_learnt_from_as_text(tmp_path):
    """The table holds words after removal (Simple removal leaves "<s>" of "<<s>s>", say), so a
    word equal to a special token is plain text; the token keeps its id."""
    tokenizer = new_tokenizer(tmp_path, 10, tokens=["<s>"])
    tokenizer.train_from_word_counts({"<s>": 3})
    assert vocabulary(tokenizer)[:5] == ["<s>", "<", "s", ">", "</w>"]
    assert tokenizer.encode("<s>").ids == [0]


LARGEST = 2**64 - 1
# counts, pre-tokenization, exception, message
BAD_COUNTS = [
    ({"low": 1, "lo w": 2}, WHITESPACE, ValueError,
     r"^argument 'counts': item 1: the word 'lo w' holds a separator of the Whitespace pre-tokenization$"),
    ({"a\u3000b": 1}, WHITESPACE, ValueError, r"item 0: the word 'a\\u3000b' holds a separator"),
    ({"low,": 1}, PUNCTUATION, ValueError, r"item 0: the word 'low,' holds a separator of the Punctuation"),
    ({"": 1}, WHITESPACE, ValueError, r"^argument 'counts': item 0: the word '' is empty$"),
    ({"low": 0}, WHITESPACE, ValueError, rf"^argument 'counts': item 0: the count 0 is not between 1 and {LARGEST}$"),
    ({"low": -2}, WHITESPACE, ValueError, r"item 0: the count -2 is not between"),
    ({"low": LARGEST + 1}, WHITESPACE, ValueError, rf"item 0: the count {LARGEST + 1} is not between"),
    ([("low", LARGEST), ("low", 1)], WHITESPACE, ValueError,
     rf"^argument 'counts': item 1: the counts of the word 'low' add up to more than {LARGEST}$"),
    ({"low": 1.0}, WHITESPACE, TypeError,
     r"^argument 'counts': item 0: the count is a 'float' object, not 'int'$"),
    ({"low": True}, WHITESPACE, TypeError, r"the count is a 'bool' object"),
    ([(b"low", 1)], WHITESPACE, TypeError, r"^argument 'counts': item 0: the word is a 'bytes' object, not 'str'$"),
    ([("low", 1), "lower"], WHITESPACE, TypeError, r"^argument 'counts': item 1: not a \(word, count\) pair$"),
    ([("low", 1, 2)], WHITESPACE, TypeError, r"item 0: not a \(word, count\) pair"),
    ([("lo\ud800", 1)], WHITESPACE, UnicodeEncodeError, r"surrogates not allowed"),
    (7, WHITESPACE, TypeError, r"'int' object is not iterable"),
]


@pytest.mark.parametrize("counts, pre_tokenization, exception, message", BAD_COUNTS)
def test_a_bad_entry_leaves_the_tokenizer_untrained_and_trainable(tmp_path, counts, pre_tokenization, exception,
                                                                  message):
    tokenizer = new_tokenizer(tmp_path, 30, pre_tokenization)
    with pytest.raises(exception, match=message):
        tokenizer.train_from_word_counts(counts)
    assert repr(tokenizer) == "BpeTokenizer(vocab_size=0)"
    assert not (tmp_path / "model").exists()
    tokenizer.train_from_word_counts({"low": 2, "lower": 1})
    assert (tmp_path / "model" / "config.json").exists()


def test_a_trained_tokenizer_is_refused_before_any_pair_is_read(tmp_path):
    tokenizer = new_tokenizer(tmp_path, 30)
    tokenizer.train_from_word_counts({"low": 2})
    pairs = iter([("lower", 1)])
    with pytest.raises(RuntimeError, match="^Cannot train a pretrained model$"):
        tokenizer.train_from_word_counts(pairs)
    assert next(pairs) == ("lower", 1)


def run_cli(*arguments):
    return subprocess.run([sys.executable, "-m", "wrenmark", *map(str, arguments)], capture_output=True, timeout=120)


def test_the_command_line_trains_from_a_word_count_file(tmp_path):
    counts = {"low": 5, "lower": 2, "newest": 6, "wörld": 3}
    table = tmp_path / "counts.tsv"
    table.write_bytes("".join(f"{word}\t{count}\r\n" for word, count in counts.items()).encode())
    result = run_cli("train", "--word-counts", table, "-o", tmp_path / "from_table", "--vocab-size", 30)
    assert result.returncode == 0, result.stderr
    tokenizer = new_tokenizer(tmp_path, 30)
    tokenizer.train_from_word_counts(counts)
    for name in MODEL_FILES:
        assert (tmp_path / "from_table" / name).read_bytes() == (tmp_path / "model" / name).read_bytes(), name


# file bytes, error line
BAD_TABLES = [
    (b"low\t2\nlo w\t1\n", "line 2: the word 'lo w' holds a separator of the Whitespace pre-tokenization"),
    (b"low\t2\n\tlow\n", "line 2: the count 'low' is not a whole number"),
    (b"low\t2\nlower 1\n", "line 2: expected a word, a tab and a count"),
    (b"low\t2\n\n", "line 2: expected a word, a tab and a count"),
    (b"low\t2\nlow\t+1\n", "line 2: the count '+1' is not a whole number"),
    (b"low\t0\n", "line 1: the count 0 is not between 1 and 18446744073709551615"),
    (b"low\t2\nlower\t1\n\t3\n", "line 3: the word '' is empty"),
    (b"low\t2\nl\xffw\t1\n", "line 2: not valid UTF-8"),
    (b"low\t18446744073709551615\nlow\t1\n", "line 2: the counts of the word 'low' add up to more than"),
]


@pytest.mark.parametrize("data, error", BAD_TABLES)
def test_a_bad_line_of_the_table_is_named(tmp_path, data, error):
    table = tmp_path / "counts.tsv"
    table.write_bytes(data)
    result = run_cli("train", "--word-counts", table, "-o", tmp_path / "model", "--vocab-size", 30)
    assert result.returncode == 1
    lines = result.stderr.decode().splitlines()
    assert len(lines) == 1 and f"{table}, {error}" in lines[0], lines
    assert not (tmp_path / "model").exists()


def test_corpus_and_word_counts_exclude_each_other(tmp_path):
    table = tmp_path / "counts.tsv"
    table.write_text("low\t1\n")
    result = run_cli("train", table, "--word-counts", table, "-o", tmp_path / "model", "--vocab-size", 30)
    assert result.returncode == 2
    assert "CORPUS and --word-counts exclude each other" in result.stderr.decode()
