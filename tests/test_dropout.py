"""BPE-dropout: its settings, its reproducibility across calls, batches and thread counts, and the
frequency of its skips."""

import importlib
import json
import math
import os
import random
import subprocess
import sys

import pytest
import wrenmark

from helpers import train_on_text

hf = importlib.import_module("wrenmark.hf")

WORDS = ["low", "lower", "lowest", "newer", "wider", "widest", "tide", "slow", "lowlier"]


@pytest.fixture
def trained(tmp_path):
    rng = random.Random(3)
    corpus = " ".join(rng.choice(WORDS) for _ in range(3000))
    return train_on_text(tmp_path, corpus, 80, special_tokens=["<s>"], save_model=True,
                         output_dir=str(tmp_path / "model"))


def sample_texts(count, seed=1):
    rng = random.Random(seed)
    return [" ".join(rng.choice(WORDS + ["<s>lowest"]) for _ in range(rng.randint(0, 30))) for _ in range(count)]


def ids_of(tokenizer, texts):
    return [encoding.ids for encoding in tokenizer.encode_batch(texts)]


@pytest.mark.parametrize("name, value, exception, message", [
    ("dropout", -0.1, ValueError, r"^dropout must be in \[0, 1\), not -0.1$"),
    ("dropout", 1.0, ValueError, r"^dropout must be in \[0, 1\), not 1.0$"),
    ("dropout", 1, ValueError, r"^dropout must be in \[0, 1\), not 1$"),
    ("dropout", float("nan"), ValueError, r"^dropout must be in \[0, 1\), not nan$"),
    ("dropout", "0.1", TypeError, "^dropout must be a float, not 'str'$"),
    ("dropout", True, TypeError, "^dropout must be a float, not 'bool'$"),
    ("dropout", None, TypeError, "^dropout must be a float, not 'NoneType'$"),
    ("dropout_seed", -1, ValueError, r"^dropout_seed must be at least 0, not -1$"),
    ("dropout_seed", 2**64, ValueError, r"^dropout_seed must be below 2\*\*64, not 18446744073709551616$"),
    ("dropout_seed", 1.0, TypeError, "^dropout_seed must be an int or None, not 'float'$"),
    ("dropout_seed", False, TypeError, "^dropout_seed must be an int or None, not 'bool'$"),
])
def test_settings_refuse_values_out_of_range(name, value, exception, message):
    tokenizer = wrenmark.BpeTokenizer("corpus.txt", 10, wrenmark.PreTokenization.whitespace())
    with pytest.raises(exception, match=message):
        setattr(tokenizer, name, value)
    assert (tokenizer.dropout, tokenizer.dropout_seed) == (0.0, None)
    with pytest.raises(TypeError, match=f"^cannot delete attribute '{name}'$"):
        delattr(tokenizer, name)


@pytest.mark.parametrize("dropout", [0.0, 1e-17])
def test_no_skip_gives_the_plain_encoding(trained, dropout):
    # 1e-17 is below the resolution of the draws: the dropout merger runs and never skips, so it
    # must merge as the deterministic merger does.
    texts = sample_texts(50)
    plain = ids_of(trained, texts)
    trained.dropout = dropout
    trained.dropout_seed = 5
    assert ids_of(trained, texts) == plain
    assert [trained.encode(text).ids for text in texts] == plain


def test_a_probability_close_to_one_gives_the_characters(trained):
    trained.dropout = 1 - 2**-40
    text = "lowest newer <s>wider"
    expected = [*"lowest", "</w>", *"newer", "</w>", "<s>", *"wider", "</w>"]
    assert trained.encode(text).tokens == expected


def test_seeded_calls_repeat_and_unseeded_calls_differ(trained):
    texts = sample_texts(40)
    trained.dropout = 0.3
    trained.dropout_seed = 2**64 - 1
    seeded = ids_of(trained, texts)
    assert ids_of(trained, texts) == seeded
    # A text's draws depend on its place in the batch, so a single encode is the batch's first.
    assert trained.encode(texts[0]).ids == seeded[0]
    trained.dropout_seed = 2**64 - 2
    assert ids_of(trained, texts) != seeded
    trained.dropout_seed = None
    assert ids_of(trained, texts) != ids_of(trained, texts)


def test_every_dropped_encoding_decodes_to_the_plain_text(trained):
    texts = sample_texts(60)
    plain = [trained.decode(ids) for ids in ids_of(trained, texts)]
    for dropout in [0.1, 0.5, 0.9]:
        trained.dropout = dropout
        encodings = trained.encode_batch(texts)
        assert [trained.decode(encoding.ids) for encoding in encodings] == plain
        assert all(encoding.original_text == text for encoding, text in zip(encodings, texts))


def test_the_batch_does_not_depend_on_its_pieces(trained):
    texts = sample_texts(30)
    trained.dropout = 0.2
    trained.dropout_seed = 11
    alone = ids_of(trained, texts)
    # Large texts after them change where the batch is cut into pieces, not the first results.
    padded = ids_of(trained, texts + ["lowest newer " * 20000] * 8)
    assert padded[:len(texts)] == alone


def test_the_batch_does_not_depend_on_the_thread_count(trained, tmp_path):
    texts = sample_texts(200)
    trained.dropout = 0.2
    trained.dropout_seed = 99
    expected = ids_of(trained, texts)
    (tmp_path / "texts.json").write_text(json.dumps(texts))
    code = f"""
import json, os, pickle, sys
os.sched_setaffinity(0, {{min(os.sched_getaffinity(0))}})
import wrenmark
tokenizer = wrenmark.BpeTokenizer.from_pretrained({str(tmp_path / "model")!r})
tokenizer.dropout, tokenizer.dropout_seed = 0.2, 99
texts = json.loads(open({str(tmp_path / "texts.json")!r}).read())
print(json.dumps([encoding.ids for encoding in tokenizer.encode_batch(texts)]))
"""
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    assert json.loads(child.stdout) == expected


@pytest.mark.parametrize("dropout", [0.1, 0.5])
@pytest.mark.parametrize("one_text", [False, True], ids=["texts of a batch", "words of one text"])
def test_merges_are_skipped_with_the_probability(tmp_path, dropout, one_text):
    # Two merges: "b" with "</w>", then "a" with "b</w>". The word "ab" stays three tokens with
    # probability p, two with (1 - p) p and one with (1 - p)^2, drawn apart for every text of a
    # batch and every word of a text.
    tokenizer = train_on_text(tmp_path, "ab ab ab", 5)
    assert tokenizer.merge_count == 2
    tokenizer.dropout = dropout
    tokenizer.dropout_seed = 1234
    count = 20000
    if one_text:
        tokens = tokenizer.encode(" ".join(["ab"] * count)).tokens
        observed = {3: tokens.count("b"), 2: tokens.count("b</w>"), 1: tokens.count("ab</w>")}
    else:
        lengths = [len(encoding.ids) for encoding in tokenizer.encode_batch(["ab"] * count)]
        observed = {length: lengths.count(length) for length in (1, 2, 3)}
    for length, probability in [(3, dropout), (2, (1 - dropout) * dropout), (1, (1 - dropout) ** 2)]:
        # Five standard deviations of the binomial count.
        bound = 5 * math.sqrt(count * probability * (1 - probability))
        assert abs(observed[length] - count * probability) < bound, length


def test_the_cli_encodes_with_dropout_reproducibly(trained, tmp_path):
    (tmp_path / "input.txt").write_text("\n".join(sample_texts(20)) + "\n")

    def run(*options):
        command = [sys.executable, "-m", "wrenmark", "encode", "-m", str(tmp_path / "model"), *options,
                   str(tmp_path / "input.txt")]
        result = subprocess.run(command, capture_output=True, text=True, timeout=120,
                                env={**os.environ, "PYTHONIOENCODING": "utf-8"})
        assert result.returncode == 0, result.stderr
        return result.stdout

    plain = run()
    assert run("--dropout", "0.3", "--seed", "4") == run("--dropout", "0.3", "--seed", "4") != plain
    assert run("--dropout", "0", "--seed", "4") == plain
    bad = subprocess.run([sys.executable, "-m", "wrenmark", "encode", "-m", str(tmp_path / "model"),
                          "--dropout", "1"], capture_output=True, text=True, timeout=120)
    assert bad.returncode == 2 and "out of the range [0, 1): 1" in bad.stderr


def test_the_hf_export_carries_the_dropout(trained, tmp_path):
    tokenizers = pytest.importorskip("tokenizers")
    plain = json.loads(hf.to_tokenizers_json(trained))
    dropped = json.loads(hf.to_tokenizers_json(trained, dropout=0.25))
    assert dropped["model"].pop("dropout") == 0.25 and plain["model"].pop("dropout") is None
    assert dropped == plain
    exported = tokenizers.Tokenizer.from_str(hf.to_tokenizers_json(trained, dropout=0.25))
    text = "lowest newer wider"
    assert exported.decode(exported.encode(text).ids, skip_special_tokens=False) == trained.decode(
        trained.encode(text).ids)
    with pytest.raises(ValueError, match=r"^dropout must be in \[0, 1\), not 1.5$"):
        hf.to_tokenizers_json(trained, dropout=1.5)
