"""Ranks of loaded models that do not count up from 0: encoding orders pairs by where their rank
stands among the model's ranks, so ranks too large to stand for themselves must still order
and tie the pairs as the literal model's ranks do."""

import random

import pytest
import wrenmark

from reference import literal_encoding as literal
from test_encoding import check_against_literal, random_inconsistent_model, random_text

LARGEST = 2**64 - 1


@pytest.mark.parametrize("name, moved", [
    # the largest rank lands on the first value that cannot stand for itself, or just below it
    ("largest at 2^31 - 1", lambda rank, top: rank + 2**31 - 1 - top),
    ("largest at 2^31 - 2", lambda rank, top: rank + 2**31 - 2 - top),
    # places of 16 bits, one below the mark of an unranked pair, and the first that does not fit
    ("largest at 2^16 - 2", lambda rank, top: rank + 2**16 - 2 - top),
    ("largest at 2^16 - 1", lambda rank, top: rank + 2**16 - 1 - top),
    ("spread beyond 32 bits", lambda rank, top: 2**40 + rank * 2**33),
    ("up to the largest rank", lambda rank, top: LARGEST - (top - rank)),
])
def test_far_ranks_encode_as_the_literal_model(tmp_path, name, moved):
    rng = random.Random(name)
    checked = 0
    for case in range(25):
        model, characters = random_inconsistent_model(rng)
        if not model.ranks:
            continue
        top = max(model.ranks.values())
        model.ranks = {pair: moved(rank, top) for pair, rank in model.ranks.items()}
        directory = tmp_path / f"model{case}"
        literal.write_model_directory(model, directory)
        tokenizer = wrenmark.BpeTokenizer.from_pretrained(str(directory))
        lexicon = ["".join(rng.choice(characters) for _ in range(3)) for _ in range(4)]
        for index in range(6):
            text = random_text(rng, characters, [" ", "\t"], lexicon, model.special_tokens, 300 if index == 0 else 0)
            check_against_literal(tokenizer, model, text, rng, f"{name} case {case}")
        checked += 1
    assert checked > 10
