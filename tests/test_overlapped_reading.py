"""Training reads the next block of its corpus while the worker pool counts the current one.

The corpora here span many blocks, each large enough to be cut into pieces for every worker, so
that counting and reading really run at once: a block whose bytes the next read overwrote, or a
block counted twice or not at all, changes the counts and so the saved model. Every block size
must give the files that counting the whole corpus in one call gives.
"""

import random

import pytest
import wrenmark
import wrenmark.wrenmark as extension

from helpers import PRE_TOKENIZATIONS, REMOVAL_METHODS

SPECIAL_TOKENS = ["<s>", "</s>"]
WORD_CHARACTERS = "abcdeéж日"


def corpus_bytes(seed: int, size: int, long_word: int) -> bytes:
    """Lines of random words and special tokens, with one word of `long_word` characters inside."""
    rng = random.Random(seed)
    stems = ["".join(rng.choice(WORD_CHARACTERS) for _ in range(rng.randint(1, 9))) for _ in range(3000)]
    lines, total = [], 0
    while total < size:
        words = rng.choices(stems, k=rng.randint(1, 14))
        if rng.random() < 0.1:
            words.insert(rng.randrange(len(words) + 1), rng.choice(SPECIAL_TOKENS))
        line = " ".join(words)
        lines.append(line)
        total += len(line.encode("utf-8")) + 1
    lines.insert(len(lines) // 2, "x" * long_word)
    return "\n".join(lines).encode("utf-8")


def tokenizer_of(corpus, output_dir):
    return wrenmark.BpeTokenizer(str(corpus), 400, PRE_TOKENIZATIONS["whitespace"](), SPECIAL_TOKENS,
                                 REMOVAL_METHODS["aho_corasick"](), save_model=True, output_dir=str(output_dir))


def saved(directory):
    return {path.name: path.read_bytes() for path in sorted(directory.iterdir())}


@pytest.fixture
def block_bytes():
    yield extension._set_training_block_bytes
    extension._set_training_block_bytes(0)


@pytest.mark.parametrize("size, long_word, block", [
    (3_000_000, 100, 64 * 1024),          # many blocks, one piece each
    (6_000_000, 100, (1 << 20) + 7),      # blocks of several pieces, on both workers
    (3_000_000, 700_000, 256 * 1024),     # a word longer than a block: the buffer grows
    (3_000_000, 100, 0),                  # the default block: the whole corpus at once
])
def test_every_block_size_trains_as_the_whole_corpus_counted_at_once(tmp_path, block_bytes, size, long_word, block):
    data = corpus_bytes(size + long_word, size, long_word)
    corpus = tmp_path / "corpus.txt"
    corpus.write_bytes(data)

    counted_at_once = tokenizer_of(corpus, tmp_path / "at-once")
    extension._train_from_word_counts(counted_at_once, extension._count_words(counted_at_once, data, 0))

    block_bytes(block)
    tokenizer_of(corpus, tmp_path / "in-blocks").train()
    assert saved(tmp_path / "in-blocks") == saved(tmp_path / "at-once")


@pytest.mark.parametrize("where", [0.0, 0.3, 0.999])
def test_bad_utf8_in_any_block_fails_as_before(tmp_path, block_bytes, where):
    """Found in the first block while the second is read, in the middle, or in the last block."""
    data = bytearray(corpus_bytes(7, 2_000_000, 10))
    position = int(len(data) * where)
    while data[position] >= 0x80:  # an ASCII byte, so that a blank in its place mends the text
        position += 1
    data[position:position + 1] = b"\xff"
    corpus = tmp_path / "corpus.txt"
    corpus.write_bytes(bytes(data))
    block_bytes(64 * 1024)
    tokenizer = tokenizer_of(corpus, tmp_path / "model")
    with pytest.raises(RuntimeError, match=r"^Error reading file: stream did not contain valid UTF-8$"):
        tokenizer.train()
    assert not (tmp_path / "model").exists()
    corpus.write_bytes(bytes(data).replace(b"\xff", b" "))
    tokenizer.train()
    assert (tmp_path / "model" / "merge_rules.json").is_file()
