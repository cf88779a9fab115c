"""continue_training: a new model that goes on from a trained one.

Continuing from a model of the bare alphabet gives the files of training directly; continuing
from a model with merges is compared with the literal models of both merge loops, whose words
start spelled by the literal model of encoding.
"""

import json
import random
from pathlib import Path

import pytest
import wrenmark
from reference import literal_classic_training, literal_encoding, literal_training
from reference.literal_training import AHO_CORASICK, PUNCTUATION, SIMPLE, WHITESPACE, special_tokens_and_words
from test_classic_merges import scratch  # noqa: F401 - the fixture
from test_interrupts import PHASES, interrupt_in_phase, write_corpus
from test_training_differential import (
    PRE_TOKENIZATIONS,
    PROFILES,
    REMOVAL_METHODS,
    random_corpus,
    random_special_tokens,
)

MODEL_FILES = ["config.json", "merge_rules.json", "pairs_to_merge.json", "save_ranks.json", "token_table.json"]
LITERAL_MODELS = {False: literal_training, True: literal_classic_training}
# (min_frequency, max_token_length)
LIMITS = [(0, None), (2, None), (0, 3)]


def make_tokenizer(corpus: Path, target, pre_tokenization=WHITESPACE, special_tokens=(), removal=SIMPLE,
                   classic=False, limits=(0, None), **kwargs):
    tokenizer = wrenmark.BpeTokenizer(str(corpus), target, PRE_TOKENIZATIONS[pre_tokenization](),
                                      list(special_tokens), REMOVAL_METHODS[removal](), **kwargs)
    tokenizer.merge_all_occurrences = classic
    tokenizer.min_frequency, tokenizer.max_token_length = limits
    return tokenizer


def saved_files(tokenizer, directory: Path):
    tokenizer.save(str(directory))
    return {name: (directory / name).read_bytes() for name in MODEL_FILES}


def saved_model(tokenizer, directory: Path):
    """(id_to_token, merge_rules) as the saved files hold them."""
    files = saved_files(tokenizer, directory)
    return (json.loads(files["token_table.json"])["id_to_token"],
            [tuple(rule) for rule in json.loads(files["merge_rules.json"])])


def alphabet_size(text, pre_tokenization, special_tokens, removal):
    return len(literal_training.train_text(text, 0, pre_tokenization, special_tokens, removal).id_to_token)


def generated_corpora(seed, count):
    """(text, pre-tokenization, special tokens, removal method) drawn from every profile."""
    rng = random.Random(seed)
    for profile in sorted(PROFILES):
        characters, separators = PROFILES[profile]
        for _ in range(count):
            text = random_corpus(rng, characters, separators)
            yield (text, rng.choice([WHITESPACE, PUNCTUATION]),
                   random_special_tokens(rng, text, characters, separators), rng.choice([SIMPLE, AHO_CORASICK]))


@pytest.mark.parametrize("limits", LIMITS, ids=["no-limits", "min-frequency", "max-token-length"])
@pytest.mark.parametrize("classic", [False, True], ids=["default", "classic"])
def test_continuing_from_the_alphabet_gives_the_files_of_training_directly(scratch, classic, limits):  # noqa: F811
    rng = random.Random(f"alphabet/{classic}/{limits}")
    corpus = scratch / "corpus.txt"
    for number, (text, pre_tokenization, special_tokens, removal) in enumerate(
            generated_corpora(f"alphabet/{classic}/{limits}", 3)):
        corpus.write_bytes(text.encode("utf-8"))
        alphabet = alphabet_size(text, pre_tokenization, special_tokens, removal)
        target = rng.choice([alphabet, alphabet + rng.randint(1, 30), 1 << 40])
        start = make_tokenizer(corpus, alphabet, pre_tokenization, special_tokens, removal, classic, limits)
        start.train()
        direct = make_tokenizer(corpus, target, pre_tokenization, special_tokens, removal, classic, limits)
        direct.train()
        continued = start.continue_training(str(corpus), target)
        case = (text, target, pre_tokenization, special_tokens, removal)
        assert saved_files(continued, scratch / f"continued{number}") == saved_files(direct, scratch / f"direct{number}"), case


def spelled_words(words, previous, special_tokens, pre_tokenization):
    """The vocabulary grown by the characters `previous` lacks (in order of first occurrence), and
    every word spelled in it with the merges of `previous` applied as encoding applies them."""
    id_to_token = list(previous.id_to_token)
    token_to_id = {token: number for number, token in enumerate(id_to_token)}
    model = literal_encoding.Model(id_to_token, token_to_id, previous.ranks, previous.pairs_to_merge, special_tokens,
                                   pre_tokenization)
    for word in words:
        for character in word:
            if character not in token_to_id:
                token_to_id[character] = len(id_to_token)
                id_to_token.append(character)
    if literal_training.END_OF_WORD not in token_to_id:
        token_to_id[literal_training.END_OF_WORD] = len(id_to_token)
        id_to_token.append(literal_training.END_OF_WORD)
    end_of_word = token_to_id[literal_training.END_OF_WORD]
    return id_to_token, [literal_encoding.apply_merges([token_to_id[c] for c in word] + [end_of_word], model)
                         for word in words]


@pytest.mark.parametrize("classic", [False, True], ids=["default", "classic"])
def test_continuing_a_model_with_merges_trains_as_the_literal_models(scratch, classic):  # noqa: F811
    literal = LITERAL_MODELS[classic]
    rng = random.Random(f"prefix/{classic}")
    first, second = scratch / "first.txt", scratch / "second.txt"
    corpora = list(generated_corpora(f"prefix/{classic}", 8))
    for number, (text, pre_tokenization, special_tokens, removal) in enumerate(corpora):
        # The second corpus: another one of the list, at times with characters the first lacks.
        other = rng.choice(corpora)[0] + rng.choice(["", " xyz日 ab", "\nba ẞẞ"])
        first.write_bytes(text.encode("utf-8"))
        second.write_bytes(other.encode("utf-8"))
        limits = rng.choice(LIMITS)
        prefix_target = alphabet_size(text, pre_tokenization, special_tokens, removal) + rng.randint(0, 12)
        previous = literal_training.train_text(text, prefix_target, pre_tokenization, special_tokens, removal)
        if classic:
            previous = literal_classic_training.train_text(text, prefix_target, pre_tokenization, special_tokens,
                                                           removal)
        if getattr(previous, "order_sensitive_at", None) is not None:
            continue  # a start that may differ from the literal one
        start = make_tokenizer(first, prefix_target, pre_tokenization, special_tokens, removal, classic)
        start.train()
        assert saved_model(start, scratch / f"start{number}") == (previous.id_to_token, previous.merge_rules)
        # The limits bind the merges learnt from here on.
        start.min_frequency, start.max_token_length = limits

        target = rng.choice([prefix_target, prefix_target + rng.randint(1, 25), 1 << 40])
        _, words = special_tokens_and_words(other, pre_tokenization, special_tokens, removal)
        vocabulary, spellings = spelled_words(words, previous, special_tokens,
                                              "Whitespace" if pre_tokenization == WHITESPACE else "Punctuation")
        expected = literal.continue_spelled(vocabulary, previous.merge_rules, spellings, target, *limits)
        actual_tokens, actual_rules = saved_model(start.continue_training(second, target), scratch / f"next{number}")
        limit = getattr(expected, "order_sensitive_at", None)
        case = (text, other, target, pre_tokenization, special_tokens, removal, limits)
        assert actual_tokens[:limit] == expected.id_to_token[:limit], case
        if limit is None:
            assert actual_rules == expected.merge_rules, case
        assert actual_rules[:len(previous.merge_rules)] == previous.merge_rules


TEXTS = ["low lower lowest", "", "new\nnewer", "  é日 <s>new", "est"]
# A source made from TEXTS, and the corpus text it stands for.
SOURCES = [
    ("list", lambda path: list(TEXTS), "\n".join(TEXTS)),
    ("generator", lambda path: (text for text in TEXTS), "\n".join(TEXTS)),
    ("empty list", lambda path: [], ""),
    ("str path", lambda path: str(path), "\n".join(TEXTS)),
    ("Path", lambda path: path, "\n".join(TEXTS)),
]


@pytest.mark.parametrize("make_source, text", [source[1:] for source in SOURCES], ids=[s[0] for s in SOURCES])
def test_every_source_trains_as_its_text_in_a_file(tmp_path, make_source, text):
    corpus = tmp_path / "corpus.txt"
    corpus.write_text("\n".join(TEXTS), encoding="utf-8")
    start = make_tokenizer(corpus, 16, special_tokens=["<s>"])
    start.train()
    joined = tmp_path / "joined.txt"
    joined.write_text(text, encoding="utf-8")
    expected = saved_files(start.continue_training(str(joined), 40), tmp_path / "expected")
    assert saved_files(start.continue_training(make_source(corpus), 40), tmp_path / "actual") == expected


def test_the_new_tokenizer_keeps_the_settings_and_the_old_one_is_unchanged(tmp_path):
    corpus = tmp_path / "corpus.txt"
    corpus.write_text("low lower lowest <s>", encoding="utf-8")
    start = make_tokenizer(corpus, 12, PUNCTUATION, ["<s>", "<u>"], AHO_CORASICK, classic=True, limits=(1, 5))
    start.unknown_token = "<u>"
    start.train()
    before = saved_files(start, tmp_path / "before")
    continued = start.continue_training(["zwölf low-lowest", "zz"], 30)
    assert saved_files(start, tmp_path / "after") == before
    assert (start.target_vocab_size, continued.target_vocab_size) == (12, 30)
    settings = ["pretokenization_type", "special_token_removal_method"]
    assert [getattr(continued, name).name for name in settings] == [getattr(start, name).name for name in settings]
    for name in ["special_tokens", "unknown_token", "merge_all_occurrences", "min_frequency", "max_token_length"]:
        assert getattr(continued, name) == getattr(start, name), name
    vocabulary = [continued.get_token_by_id(i) for i in range(continued.vocab_size)]
    assert vocabulary[:12] == [start.get_token_by_id(i) for i in range(12)]
    # The characters the old model lacks, in order of first occurrence, then merges.
    assert vocabulary[12:16] == ["z", "ö", "f", "-"]


def test_saving_follows_the_settings_and_a_loaded_model_continues_alike(tmp_path):
    corpus = tmp_path / "corpus.txt"
    corpus.write_text("low lower lowest newer", encoding="utf-8")
    start = make_tokenizer(corpus, 13, save_model=True, output_dir=str(tmp_path / "start"))
    start.train()
    saved_start = {name: (tmp_path / "start" / name).read_bytes() for name in MODEL_FILES}
    # A loaded tokenizer does not save: its settings have save_model unset.
    from_loaded = wrenmark.BpeTokenizer.from_pretrained(str(tmp_path / "start")).continue_training(str(corpus), 25)
    assert {name: (tmp_path / "start" / name).read_bytes() for name in MODEL_FILES} == saved_start
    saving = start.continue_training(str(corpus), 25)
    files = {name: (tmp_path / "start" / name).read_bytes() for name in MODEL_FILES}
    assert files == saved_files(saving, tmp_path / "again") == saved_files(from_loaded, tmp_path / "loaded")
    assert json.loads(files["config.json"])["target_vocab_size"] == 25


def failing_items():
    yield "low"
    raise OSError("the source broke")


# A source (or target) that continuing refuses, the exception and the words of its message.
REFUSED = [
    ("untrained", lambda path: str(path), 20, RuntimeError, "Cannot continue training an untrained model"),
    ("missing file", lambda path: str(path.parent / "missing.txt"), 20, RuntimeError, "No such file"),
    ("invalid UTF-8", lambda path: str(path.parent / "bad.txt"), 20, RuntimeError, "valid UTF-8"),
    ("non-str item", lambda path: ["low", "new", 3], 20, TypeError, "item 2 must be a str, not 'int'"),
    ("lone surrogate", lambda path: ["ok", "\ud800"], 20, UnicodeEncodeError, "surrogates not allowed"),
    ("not iterable", lambda path: 5, 20, TypeError, "not iterable"),
    ("failing iterator", lambda path: failing_items(), 20, OSError, "the source broke"),
    ("negative target", lambda path: str(path), -1, OverflowError, "negative"),
    ("str target", lambda path: str(path), "20", TypeError, "target_vocab_size"),
]


@pytest.mark.parametrize("make_source, target, error, message", [case[1:] for case in REFUSED],
                         ids=[case[0] for case in REFUSED])
def test_refused_sources_leave_everything_as_it_was(tmp_path, monkeypatch, make_source, target, error, message):
    spool = tmp_path / "spool"
    spool.mkdir()
    monkeypatch.setenv("TMPDIR", str(spool))
    corpus = tmp_path / "corpus.txt"
    corpus.write_text("low lower", encoding="utf-8")
    (tmp_path / "bad.txt").write_bytes(b"low \xff")
    tokenizer = make_tokenizer(corpus, 8, save_model=True, output_dir=str(tmp_path / "model"))
    if message != "Cannot continue training an untrained model":
        tokenizer.train()
    before = tokenizer.vocab_size
    with pytest.raises(error, match=message):
        tokenizer.continue_training(make_source(corpus), target)
    assert tokenizer.vocab_size == before
    assert list(spool.iterdir()) == []


@pytest.mark.parametrize("phase", PHASES)
@pytest.mark.parametrize("classic", [False, True], ids=["default", "classic"])
def test_an_interrupt_in_each_phase_leaves_both_tokenizers_as_they_were(tmp_path, phase, classic):
    corpus = tmp_path / "corpus.txt"
    write_corpus(corpus)
    start = make_tokenizer(corpus, 40, special_tokens=["<s>"], classic=classic)
    start.train()
    before = saved_files(start, tmp_path / "before")
    start.show_progress = True
    interrupt_in_phase(phase, KeyboardInterrupt, lambda: start.continue_training(str(corpus), 300))
    start.show_progress = False
    assert saved_files(start, tmp_path / "after") == before
    assert start.continue_training(str(corpus), 300).vocab_size == 300
