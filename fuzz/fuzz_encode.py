"""Fuzzes encode() with arbitrary text, special tokens included, on several trained tokenizers.

Input: byte 0 picks the tokenizer; the rest, read as UTF-8 with replacement characters, is the
text. Encoding must succeed with parallel lists of valid ids whose tokens are the vocabulary's.
"""


import harness

scratch = harness.scratch_directory()
TOKENIZERS = [
    harness.train_model(scratch, target=150, punctuation=True, aho_corasick=True),
    harness.train_model(scratch, target=90, punctuation=False, aho_corasick=False),
    # No merges at all: every word is its characters and "</w>".
    harness.train_model(scratch, target=0, special_tokens=["<s>"]),
    # Special tokens that overlap each other and the text's words.
    harness.train_model(scratch, target=200, special_tokens=["the", "he", "e q", "</w>", "", "<s>", "<s>"]),
]


def test_one_input(data: bytes):
    if not data:
        return
    tokenizer = TOKENIZERS[data[0] % len(TOKENIZERS)]
    harness.check_encoding_consistent(tokenizer, data[1:].decode("utf-8", "replace"))


SEEDS = {
    "sentence": (0, "the quick brown fox jumps over the lazy dog"),
    "specials": (0, "<s>the fox</s>[MASK]<|endoftext|><s><s>"),
    "specials_inside_words": (3, "xthex the<s>he e quick"),
    "unknown_characters": (1, "zzz ẞ 🦊 \x00 \U0010ffff"),
    "spaces": (2, " \t\n\u00a0\u3000\u2028 a  b "),
    "end_of_word": (1, "</w> a</w>b </w></w>"),
    "long_word": (0, "abab" * 200),
}


def write_seeds(directory):
    directory.mkdir(parents=True, exist_ok=True)
    for name, (choice, text) in SEEDS.items():
        (directory / name).write_bytes(bytes([choice]) + text.encode("utf-8"))


if __name__ == "__main__":
    harness.main("encode", test_one_input, write_seeds, scratch)
