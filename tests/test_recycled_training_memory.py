"""While train() runs, the memory of a large array it frees goes to the next one it makes.

The corpora here have enough distinct words for the counting maps, the word table and the pairs'
arrays to be several MiB, the size from which their memory is recycled. A region handed to two
arrays at once, or cut at the wrong place, or kept by one training while another one takes it,
changes the counts and so the saved model: train() on the corpus, alone and in several threads
at once, must save the files that training from the same word counts saves, which recycles
nothing.
"""

import random
import threading

import pytest
import wrenmark

MODEL_FILES = ["config.json", "merge_rules.json", "pairs_to_merge.json", "save_ranks.json", "token_table.json"]


def word_counts(seed: int, distinct: int) -> dict[str, int]:
    rng = random.Random(seed)
    counts: dict[str, int] = {}
    while len(counts) < distinct:
        word = "".join(rng.choice("abcdefghijklmnopqrstuvwxyzéж") for _ in range(rng.randint(3, 12)))
        counts[word] = counts.get(word, 0) + rng.choice([1, 1, 1, 2, 3, 40])
    return counts


def corpus_text(counts: dict[str, int]) -> str:
    """Every word first in the table's order, then the rest of its occurrences shuffled."""
    rest = [word for word, count in counts.items() for _ in range(count - 1)]
    random.Random(len(rest)).shuffle(rest)
    return " ".join(list(counts) + rest)


def new_tokenizer(corpus, output, classic):
    tokenizer = wrenmark.BpeTokenizer(str(corpus), 3000, wrenmark.PreTokenization.whitespace(), save_model=True,
                                      output_dir=str(output))
    tokenizer.merge_all_occurrences = classic
    return tokenizer


def model_files(directory):
    return {name: (directory / name).read_bytes() for name in MODEL_FILES}


@pytest.fixture(scope="module")
def counts():
    return word_counts(7, 250_000)


@pytest.mark.parametrize("classic", [False, True], ids=["default", "classic"])
@pytest.mark.parametrize("threads", [1, 3])
def test_train_saves_what_training_from_the_counts_saves(tmp_path, counts, classic, threads):
    corpus = tmp_path / "corpus.txt"
    corpus.write_text(corpus_text(counts), encoding="utf-8")
    new_tokenizer(tmp_path / "absent.txt", tmp_path / "from-counts", classic).train_from_word_counts(counts)
    expected = model_files(tmp_path / "from-counts")

    failures = []

    def train(index):
        try:
            new_tokenizer(corpus, tmp_path / f"trained-{index}", classic).train()
        except Exception as error:  # noqa: BLE001 - reported below, with the thread's index
            failures.append((index, error))

    workers = [threading.Thread(target=train, args=(index,)) for index in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert failures == []
    for index in range(threads):
        assert model_files(tmp_path / f"trained-{index}") == expected
