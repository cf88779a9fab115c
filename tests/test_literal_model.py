"""Checks of the literal training model against hand-worked examples.

The differential test trusts this model, so it is pinned down here first.
"""

import random

import pytest

from helpers import REMOVAL_CASES
from reference.literal_training import (
    AHO_CORASICK,
    END_OF_WORD,
    PUNCTUATION,
    SIMPLE,
    WHITESPACE,
    TokenTable,
    Training,
    WordCount,
    build_vocabulary,
    pre_tokenize,
    remove_special_tokens,
    train_text,
)


def test_vocabulary_builder_on_low_lower_low():
    table = TokenTable()
    words = pre_tokenize("low lower low", WHITESPACE)
    word_counts, pair_positions, end_of_word_id = build_vocabulary(words, table)

    assert table.id_to_token == ["l", "o", "w", "e", "r", END_OF_WORD]
    assert end_of_word_id == 5
    assert word_counts == [WordCount([0, 1, 2, 5], 2), WordCount([0, 1, 2, 3, 4, 5], 1)]
    assert pair_positions == {
        (0, 1): {(0, 0), (1, 0)},
        (1, 2): {(0, 1), (1, 1)},
        (2, 5): {(0, 2)},
        (2, 3): {(1, 2)},
        (3, 4): {(1, 3)},
        (4, 5): {(1, 4)},
    }


@pytest.mark.parametrize(
    "words, expected_counts, expected_positions",
    [
        ([], [], {}),
        (["a", "a", "a"], [WordCount([0, 1], 3)], {(0, 1): {(0, 0)}}),
        (["aaa"], [WordCount([0, 0, 0, 1], 1)], {(0, 0): {(0, 0), (0, 1)}, (0, 1): {(0, 2)}}),
    ],
)
def test_vocabulary_builder_edge_cases(words, expected_counts, expected_positions):
    word_counts, pair_positions, _ = build_vocabulary(words, TokenTable())
    assert word_counts == expected_counts
    assert pair_positions == expected_positions


def test_merge_loop_on_low_lower_low_step_by_step():
    table = TokenTable()
    word_counts, pair_positions, _ = build_vocabulary(["low", "lower", "low"], table)
    training = Training(table, word_counts, pair_positions, 9)
    training.initial_pair_statistics()
    assert training.pair_counts == {(0, 1): 3, (1, 2): 3, (2, 5): 2, (2, 3): 1, (3, 4): 1, (4, 5): 1}

    assert training.merge_step()
    assert table.id_to_token[6] == "ow"
    assert [w.symbols for w in word_counts] == [[0, 6, 5], [0, 6, 3, 4, 5]]
    assert training.pair_counts == {
        (0, 1): 0, (2, 5): 0, (2, 3): 0, (3, 4): 1, (4, 5): 1, (0, 6): 3, (6, 5): 2, (6, 3): 1,
    }

    training.merge_loop()
    assert [w.symbols for w in word_counts] == [[8], [7, 3, 4, 5]]


def test_train_on_low_lower_low_with_target_9():
    result = train_text("low lower low", 9)
    assert result.id_to_token == ["l", "o", "w", "e", "r", END_OF_WORD, "ow", "low", "low" + END_OF_WORD]
    assert result.merge_rules == [(1, 2), (0, 6), (7, 5)]
    assert result.ranks == {(1, 2): 0, (0, 6): 1, (7, 5): 2}
    assert result.pairs_to_merge == {(1, 2): 6, (0, 6): 7, (7, 5): 8}
    assert not result.target_not_reached


@pytest.mark.parametrize("tokens, text, simple, aho_corasick", REMOVAL_CASES)
def test_special_token_removal(tokens, text, simple, aho_corasick):
    assert remove_special_tokens(text, tokens, SIMPLE) == simple
    assert remove_special_tokens(text, tokens, AHO_CORASICK) == aho_corasick


@pytest.mark.parametrize(
    "text, method, words",
    [
        ("  hello\t\nworld  ", WHITESPACE, ["hello", "world"]),
        ("don't stop!", PUNCTUATION, ["don", "'", "t", "stop", "!"]),
        ("don't stop!", WHITESPACE, ["don't", "stop!"]),
        ("...", PUNCTUATION, [".", ".", "."]),
        ("¿Qué?", PUNCTUATION, ["¿Qué", "?"]),
        ("a\u00a0b", WHITESPACE, ["a", "b"]),
        ("a\u200bb a\u001cb\u001f", WHITESPACE, ["a\u200bb", "a\u001cb\u001f"]),
        ("\ufeffhi \u180e", WHITESPACE, ["\ufeffhi", "\u180e"]),
        ("a\u0085b\u2028c\u3000d\u202fe\u1680f", WHITESPACE, ["a", "b", "c", "d", "e", "f"]),
        ("", PUNCTUATION, []),
        (" \t\r\n ", WHITESPACE, []),
        ("a«b»—c。", PUNCTUATION, ["a«b»—c。"]),
        ("x_y~z`{}", PUNCTUATION, ["x", "_", "y", "~", "z", "`", "{", "}"]),
    ],
)
def test_pre_tokenize(text, method, words):
    assert pre_tokenize(text, method) == words


def test_overlapping_run_becomes_two_merged_symbols():
    table = TokenTable()
    word_counts, pair_positions, _ = build_vocabulary(["xxxx"], table)
    training = Training(table, word_counts, pair_positions, 3)
    training.initial_pair_statistics()
    training.merge_loop()
    assert table.id_to_token == ["x", END_OF_WORD, "xx"]
    assert word_counts[0].symbols == [2, 2, 1]
    # Both valid positions of the run x x x were counted before the rewrite.
    assert training.pair_counts[(2, 0)] == 2
    assert training.pair_counts[(0, 2)] == 2
    assert (0, 0) not in training.pair_counts


def test_stale_entry_keeps_pair_apart():
    # Ids chosen so that the tie-break picks (a, b) first: x=0 b=1 z=2 </w>=3 y=4 a=5.
    table = TokenTable()
    for token in ["x", "b", "z", END_OF_WORD, "y", "a"]:
        table.add_token(token)
    x, b, z, end, y, a = range(6)
    symbols = [x, a, b, y, z, end]
    pair_positions = {(symbols[i], symbols[i + 1]): {(0, i)} for i in range(5)}
    word_counts = [WordCount(symbols, 1)]
    training = Training(table, word_counts, pair_positions, 100)
    training.initial_pair_statistics()

    assert training.merge_step()
    ab = table.token_to_id["ab"]
    assert word_counts[0].symbols == [x, ab, y, z, end]
    assert pair_positions[(y, z)] == {(0, 3)}  # not shifted: now stale

    training.merge_loop()
    assert (y, z) in training.merge_rules
    assert "yz" in table.token_to_id
    assert table.token_to_id["yz"] not in word_counts[0].symbols
    assert training.target_not_reached


def test_merge_onto_existing_token_keeps_vocabulary_size():
    # The empty token keeps AhoCorasick from removing "ab" from the corpus.
    result = train_text("abab", 6, WHITESPACE, ["", "ab"], AHO_CORASICK)
    a, b = 2, 3
    assert result.id_to_token[:5] == ["", "ab", "a", "b", END_OF_WORD]
    assert result.merge_rules[0] == (a, b)
    assert result.pairs_to_merge[(a, b)] == 1
    # The first merge added nothing, so a second one was needed to reach 6.
    assert len(result.id_to_token) == 6 and len(result.merge_rules) == 2


def test_special_tokens_keep_their_ids():
    result = train_text("a </w> a", 0, WHITESPACE, ["", "a", END_OF_WORD, "a"], AHO_CORASICK)
    # The empty token stops AhoCorasick from removing anything, so "a" is a
    # corpus character that reuses its special-token id, and so is "</w>".
    assert result.id_to_token == ["", "a", END_OF_WORD, "<", "/", "w", ">"]


@pytest.mark.parametrize("target", [0, 2, 3])
def test_no_merge_when_vocabulary_already_large_enough(target):
    result = train_text("ab", target)
    assert result.id_to_token == ["a", "b", END_OF_WORD]
    assert result.merge_rules == [] and result.ranks == {} and result.pairs_to_merge == {}
    assert not result.target_not_reached


@pytest.mark.parametrize("text", ["", "  \n\t"])
def test_corpus_without_words_runs_out_of_pairs(text):
    result = train_text(text, 10, WHITESPACE, ["x"])
    assert result.id_to_token == ["x", END_OF_WORD]
    assert result.target_not_reached


def test_zero_count_pairs_are_merged_after_positive_ones():
    result = train_text("ab ab", 100)
    # (a, b) and (b, </w>) tie at 2: (b, </w>) has the larger first id. Then
    # (a, b</w>) with 2; (a, b) is left with 0 and is still merged, last.
    assert result.id_to_token == ["a", "b", END_OF_WORD, "b</w>", "ab</w>", "ab"]
    assert result.target_not_reached


def test_re_merged_pair_keeps_its_later_rank():
    result = train_text("baa aaabbbaa bbbaa baab", 1000)
    repeated = [pair for pair in set(result.merge_rules) if result.merge_rules.count(pair) > 1]
    assert repeated
    for pair in result.merge_rules:
        last = max(i for i, other in enumerate(result.merge_rules) if other == pair)
        assert result.ranks[pair] == last
        merged = result.id_to_token[pair[0]] + result.id_to_token[pair[1]]
        assert result.id_to_token[result.pairs_to_merge[pair]] == merged


def test_vocabulary_does_not_depend_on_set_order():
    # The differential test relies on this: outside an order-sensitive step,
    # visiting occurrences in another order yields the same vocabulary.
    rng = random.Random(7)
    for _ in range(300):
        text = "".join(rng.choice("aab b.") for _ in range(rng.randint(0, 30)))
        specials = ["".join(rng.choice("ab") for _ in range(rng.randint(0, 3))) for _ in range(rng.randint(0, 2))]
        method = rng.choice([SIMPLE, AHO_CORASICK])
        reference = train_text(text, 1000, PUNCTUATION, specials, method)
        shuffled = train_text(text, 1000, PUNCTUATION, specials, method, order_rng=random.Random(rng.random()))
        limit = reference.order_sensitive_at
        assert shuffled.id_to_token[:limit] == reference.id_to_token[:limit], (text, specials, method)
