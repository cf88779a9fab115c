"""Fuzzes BpeTokenizer.from_pretrained with one of the five files of a real saved model replaced.

Input: the first byte picks the file (its value modulo 5, in MODEL_FILES order), the rest is that
file's new content; the other four files stay as saved. Loading must return a tokenizer or raise
RuntimeError (PanicException for a model whose pair keys or ids break an invariant). A tokenizer
that loads is then used: lookups, encoding (which may refuse a character or "</w>" that the loaded
vocabulary lacks), decoding, and a refused train().
"""


import contextlib

import harness
import wrenmark

MODEL_FILES = ["config.json", "token_table.json", "merge_rules.json", "save_ranks.json", "pairs_to_merge.json"]
PROBE_TEXT = "<s>the quick fox</s> naïve 日本 [MASK]x" + harness.SEPARATOR + "zz"

scratch = harness.scratch_directory()
model = scratch / "model"
harness.train_model(scratch, save_to=model)
ORIGINAL = {name: (model / name).read_bytes() for name in MODEL_FILES}


def exercise(tokenizer):
    size = harness.vocab_size(tokenizer)
    for token_id in (0, 1, size // 2, max(size - 1, 0), size, 2**32 - 1):
        try:
            token = tokenizer.get_token_by_id(token_id)
        except RuntimeError:
            continue
        with contextlib.suppress(RuntimeError):
            tokenizer.get_id_by_token(token)
    try:
        tokenizer.train()
    except RuntimeError as error:
        assert str(error) == "Cannot train a pretrained model", error
    else:
        raise AssertionError("a loaded model trained again")
    if harness.has_encoding():
        for text in (PROBE_TEXT, "", " ", "</w>"):
            try:
                tokenizer.encode(text)
            except RuntimeError as error:
                # A character or "</w>" that the loaded vocabulary lacks.
                assert str(error).startswith("the id for token "), error
            except BaseException as error:  # noqa: BLE001 - besides that, only a panic is allowed
                if not harness.is_panic(error):
                    raise
        for ids in ([0, 1, 2], list(range(size + 2)), [2**32 - 1]):
            tokenizer.decode(ids)


def test_one_input(data: bytes):
    if not data:
        return
    name = MODEL_FILES[data[0] % len(MODEL_FILES)]
    (model / name).write_bytes(data[1:])
    try:
        try:
            tokenizer = wrenmark.BpeTokenizer.from_pretrained(str(model))
        except RuntimeError:
            return
        except BaseException as error:  # noqa: BLE001
            if harness.is_panic(error):
                return
            raise
        exercise(tokenizer)
    finally:
        (model / name).write_bytes(ORIGINAL[name])


def write_seeds(directory):
    """One seed per model file: the file as saved."""
    directory.mkdir(parents=True, exist_ok=True)
    for index, name in enumerate(MODEL_FILES):
        (directory / name).write_bytes(bytes([index]) + ORIGINAL[name])


if __name__ == "__main__":
    harness.main("loader", test_one_input, write_seeds, scratch)
