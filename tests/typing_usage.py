"""Every part of the wrenmark surface used the way a typed program uses it.

`mypy --strict` checks this file against the package's stub (`make typecheck`), and
tests/test_typing.py runs it, so the stub and the module cannot drift apart unnoticed. The lines
marked `type: ignore[...]` are calls the stub must refuse: strict mode reports an ignore that is
no longer needed, so a stub that grows too lenient fails the check.
"""

import copy
import pickle
from pathlib import Path
from typing import assert_type

import wrenmark
from wrenmark import BpeTokenizer, Encoder, PreTokenization, SpecialTokenRemovalMethod, TokenType


def train_small_model(directory: Path) -> BpeTokenizer:
    corpus = directory / "corpus.txt"
    corpus.write_text("<s>low lower lowest</s> new newer newest\n", encoding="utf-8")
    tokenizer = BpeTokenizer(
        str(corpus),
        40,
        PreTokenization.whitespace(),
        special_tokens=["<s>", "</s>"],
        special_token_removal_method=SpecialTokenRemovalMethod.aho_corasick(),
        save_model=True,
        output_dir=str(directory / "model"),
    )
    assert_type(tokenizer.train(), None)
    return tokenizer


def use_every_part(directory: Path) -> None:
    assert wrenmark.__all__ == ["BpeTokenizer", "PreTokenization", "SpecialTokenRemovalMethod", "Encoder", "TokenType"]
    tokenizer = train_small_model(directory)
    from_items = BpeTokenizer("unused.txt", 30, PreTokenization.whitespace())
    assert_type(from_items.train_from_iterator((line for line in ["low lower", "newest"]), length=2), None)
    from_batches = BpeTokenizer("unused.txt", 30, PreTokenization.whitespace())
    assert_type(from_batches.train_from_iterator([["low", "lower"], ["newest"]]), None)
    from_counts = BpeTokenizer("unused.txt", 30, PreTokenization.whitespace())
    assert_type(from_counts.train_from_word_counts({"low": 5, "lower": 2}), None)
    assert_type(from_counts.vocab_size, int)
    from_pairs = BpeTokenizer("unused.txt", 30, PreTokenization.whitespace())
    assert_type(from_pairs.train_from_word_counts([("low", 5), ("lower", 2)]), None)
    by_keyword = BpeTokenizer(
        input_path="unused.txt",
        target_vocab_size=10,
        pretokenization_type=PreTokenization.punctuation(),
        special_tokens=("<pad>",),
        special_token_removal_method=SpecialTokenRemovalMethod.simple(),
        save_model=False,
        output_dir=None,
    )
    assert_type(repr(by_keyword), str)
    by_keyword.merge_all_occurrences = True
    assert_type(by_keyword.merge_all_occurrences, bool)
    by_keyword.byte_fallback = True
    assert_type(by_keyword.byte_fallback, bool)
    by_keyword.dropout = 0.1
    assert_type(by_keyword.dropout, float)
    by_keyword.dropout_seed = None
    assert_type(tokenizer.dropout_seed, int | None)
    by_keyword.min_frequency = 2
    assert_type(by_keyword.min_frequency, int)
    by_keyword.max_token_length = None
    by_keyword.max_token_length = 3
    longest: int | None = by_keyword.max_token_length
    assert longest == 3

    encoding = tokenizer.encode("<s>lowest newer")
    assert_type(encoding, Encoder)
    assert_type(encoding.original_text, str)
    tokens: list[str] = encoding.tokens
    ids: list[int] = encoding.ids
    types: list[TokenType] = encoding.token_types
    assert len(tokens) == len(ids) == len(types)
    assert encoding.get_token_type("<s>") == TokenType.SPECIALTOKEN
    offsets: list[tuple[int, int]] = encoding.offsets
    word_ids: list[int | None] = encoding.word_ids
    assert len(offsets) == len(word_ids) == len(tokens) and word_ids[0] is None
    assert encoding.ids_buffer.tolist() == ids
    padded = tokenizer.encode_batch_padded(["lowest", "newer low"], max_length=8, pad_id=special_id_of(tokenizer),
                                           padding="max_length", prefix_ids=[special_id_of(tokenizer)], dtype="int32")
    assert padded.ids.shape == padded.attention_mask.shape == (2, 8) and padded.lengths.shape == (2,)
    assert int(TokenType.WORD) == 0 and TokenType.SUBWORD == 1 and TokenType.SPECIALTOKEN != TokenType.WORD

    decoded: str = tokenizer.decode(ids)
    assert decoded == tokenizer.decode(tuple(ids))
    special_id: int = tokenizer.get_id_by_token("<s>")
    assert tokenizer.get_token_by_id(special_id) == "<s>"

    loaded = BpeTokenizer.from_pretrained(str(directory / "model"))
    assert_type(loaded, BpeTokenizer)
    assert loaded.encode("lowest").ids == tokenizer.encode("lowest").ids

    assert_type(loaded.target_vocab_size, int)
    pre_tokenization: PreTokenization = loaded.pretokenization_type
    assert_type(pre_tokenization.name, str)
    special_tokens: list[str] = loaded.special_tokens
    removal: SpecialTokenRemovalMethod = loaded.special_token_removal_method
    assert (loaded.target_vocab_size, pre_tokenization.name, special_tokens, removal.name) == (
        40, "Whitespace", ["<s>", "</s>"], "AhoCorasick")
    assert_type(loaded.vocab_size, int)
    assert_type(loaded.merge_count, int)
    assert loaded.vocab_size == tokenizer.vocab_size and loaded.merge_count == tokenizer.merge_count

    assert_type(copy.copy(loaded), BpeTokenizer)
    assert copy.deepcopy(loaded).encode("lowest").ids == pickle.loads(pickle.dumps(loaded)).encode("lowest").ids
    continued = loaded.continue_training(directory / "corpus.txt", 45)
    assert_type(continued, BpeTokenizer)
    assert continued.get_token_by_id(0) == "<s>" and loaded.target_vocab_size == 40
    assert_type(loaded.continue_training(iter(["lowest", "newer"]), 45), BpeTokenizer)


def special_id_of(tokenizer: BpeTokenizer) -> int:
    return tokenizer.get_id_by_token("<s>")


def misuses(tokenizer: BpeTokenizer, encoding: Encoder) -> None:
    """Never run: each call is one the stub refuses."""
    tokenizer.decode("abc")  # type: ignore[arg-type]
    tokenizer.get_token_by_id("0")  # type: ignore[arg-type]
    tokenizer.encode(b"bytes")  # type: ignore[arg-type]
    BpeTokenizer("corpus.txt", 10, "whitespace")  # type: ignore[arg-type]
    BpeTokenizer("corpus.txt", 10, PreTokenization.whitespace(), save_model=1)  # type: ignore[arg-type]
    encoding.ids = []  # type: ignore[misc]
    tokenizer.encode_batch_padded(["a"], padding="shortest")  # type: ignore[arg-type]
    tokenizer.encode_batch_padded(["a"], 4)  # type: ignore[call-arg]
    tokenizer.merge_all_occurrences = 1  # type: ignore[assignment]
    tokenizer.dropout_seed = "7"  # type: ignore[assignment]
    tokenizer.min_frequency = None  # type: ignore[assignment]
    tokenizer.continue_training(b"corpus.txt", 10)  # type: ignore[arg-type]
    tokenizer.target_vocab_size = 5  # type: ignore[misc]
    tokenizer.vocab_size = 5  # type: ignore[misc]
    tokenizer.decode(idz=[])  # type: ignore[call-arg]
