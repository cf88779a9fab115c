"""Fuzzes decode() with arbitrary id lists on trained tokenizers.

Input: byte 0 picks the tokenizer (bits 0-1) and whether ids are taken modulo a little more than
the vocabulary size (bit 2), so that most are valid; the rest is read as little-endian 32-bit ids.
decode must return text; ids beyond the vocabulary contribute nothing.
"""

import struct

import harness

scratch = harness.scratch_directory()
TOKENIZERS = [
    harness.train_model(scratch, target=150, punctuation=True, aho_corasick=True),
    harness.train_model(scratch, target=90, punctuation=False, aho_corasick=False),
    harness.train_model(scratch, target=0, special_tokens=["<s>"]),
    harness.train_model(scratch, target=200, special_tokens=["the", "he", "</w>", "", "<s>"]),
]
SIZES = [harness.vocab_size(tokenizer) for tokenizer in TOKENIZERS]


def test_one_input(data: bytes):
    if not data:
        return
    choice = data[0] % len(TOKENIZERS)
    body = data[1:]
    ids = list(struct.unpack(f"<{len(body) // 4}I", body[: len(body) // 4 * 4]))
    if data[0] & 4:
        ids = [token_id % (SIZES[choice] + 4) for token_id in ids]
    tokenizer = TOKENIZERS[choice]
    text = tokenizer.decode(ids)
    assert isinstance(text, str)
    valid = [token_id for token_id in ids if token_id < SIZES[choice]]
    assert tokenizer.decode(valid) == text
    assert tokenizer.decode(tuple(ids)) == text


def write_seeds(directory):
    directory.mkdir(parents=True, exist_ok=True)
    for choice in range(len(TOKENIZERS)):
        ids = list(range(SIZES[choice] + 2))
        (directory / f"all_ids_{choice}").write_bytes(bytes([choice | 4]) + struct.pack(f"<{len(ids)}I", *ids))
    (directory / "huge_ids").write_bytes(bytes([0]) + struct.pack("<3I", 2**32 - 1, 2**31, 0))
    (directory / "empty").write_bytes(bytes([1]))


if __name__ == "__main__":
    harness.main("decode", test_one_input, write_seeds, scratch)
