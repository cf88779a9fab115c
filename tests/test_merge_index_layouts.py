"""Models on both sides of the compact merge index's limits (ids and places of 21 bits, places
not shared, few gaps between ranks): whichever layout a model gets, encoding matches the
literal model."""

import random

import pytest
import wrenmark

from reference import literal_encoding as literal
from test_encoding import check_against_literal, random_inconsistent_model, random_text

COMPACT_LIMIT = 2**21 - 1


def with_unknown_pair(first):
    """A ranked pair of an id beyond the vocabulary, ranked after every other pair."""
    def change(model):
        top = max(model.ranks.values())
        model.ranks[(first, 0)] = top + 1
        model.pairs_to_merge[(first, 0)] = 0
    return change


def with_merged_ids(far_id):
    def change(model):
        for index, pair in enumerate(sorted(model.pairs_to_merge)):
            if index % 2 == 0:
                model.pairs_to_merge[pair] = far_id - index
    return change


def with_rank_gaps(step):
    def change(model):
        model.ranks = {pair: rank * step for pair, rank in model.ranks.items()}
    return change


def with_distinct_ranks(model):
    # Repeated ranks share a place; ordering the pairs by rank and numbering them keeps the
    # literal model's order while leaving every place to one pair.
    ordered = sorted(model.ranks.items(), key=lambda item: (item[1], item[0]))
    model.ranks = {pair: place for place, (pair, _) in enumerate(ordered)}


@pytest.mark.parametrize("name, change", [
    ("largest compact pair id", with_unknown_pair(COMPACT_LIMIT - 1)),
    ("first wide pair id", with_unknown_pair(COMPACT_LIMIT)),
    ("pair id of 32 bits", with_unknown_pair(2**32 - 1)),
    ("merged ids beyond 21 bits", with_merged_ids(2**32 - 2)),
    ("merged ids at the compact limit", with_merged_ids(COMPACT_LIMIT + 1)),
    ("small rank gaps", with_rank_gaps(3)),
    ("rank gaps beyond the compact limit", with_rank_gaps(100_000)),
])
def test_models_at_the_layout_limits_encode_as_the_literal_model(tmp_path, name, change):
    rng = random.Random(name)
    checked = 0
    for case in range(20):
        model, characters = random_inconsistent_model(rng)
        if not model.ranks:
            continue
        if case % 2 == 0:
            with_distinct_ranks(model)
        change(model)
        directory = tmp_path / f"model{case}"
        literal.write_model_directory(model, directory)
        tokenizer = wrenmark.BpeTokenizer.from_pretrained(str(directory))
        lexicon = ["".join(rng.choice(characters) for _ in range(rng.choice([3, 40]))) for _ in range(4)]
        for index in range(4):
            text = random_text(rng, characters, [" ", "\t"], lexicon, model.special_tokens, 300 if index == 0 else 0)
            check_against_literal(tokenizer, model, text, rng, f"{name} case {case}")
        checked += 1
    assert checked > 8
