"""Fuzzes train() on small arbitrary corpora with arbitrary special tokens, both removal methods
and both pre-tokenizers, against the literal Python model of training.

Input: byte 0 holds flags (bit 0 AhoCorasick, bit 1 Punctuation, bit 2 corpus written as the raw
bytes instead of their UTF-8 reading, bit 3 merge_all_occurrences, checked against the literal
model of classic merges); bytes 1-2 the target vocabulary size (little-endian, modulo
600); the rest, read as UTF-8 with replacement characters, is split at U+001E into the corpus and
up to six special tokens. Training must succeed, except that raw bytes that are not UTF-8 must fail
with "Error reading file: ...". The vocabulary must equal the literal model's.
"""


import harness
import wrenmark
from reference import literal_classic_training
from reference.literal_training import AHO_CORASICK, PUNCTUATION, SIMPLE, WHITESPACE, train_text

scratch = harness.scratch_directory()
CORPUS = scratch / "corpus.txt"
MAX_SPECIAL_TOKENS = 6


def decode_input(data: bytes):
    flags = data[0] if data else 0
    target = int.from_bytes(data[1:3], "little") % 600
    parts = data[3:].split(harness.SEPARATOR.encode())
    corpus_bytes = parts[0]
    special_tokens = [part.decode("utf-8", "replace") for part in parts[1:1 + MAX_SPECIAL_TOKENS]]
    return flags, target, corpus_bytes, special_tokens


def test_one_input(data: bytes):
    flags, target, corpus_bytes, special_tokens = decode_input(data)
    aho_corasick, punctuation, raw, classic = bool(flags & 1), bool(flags & 2), bool(flags & 4), bool(flags & 8)
    if raw:
        CORPUS.write_bytes(corpus_bytes)
    else:
        corpus_bytes = corpus_bytes.decode("utf-8", "replace").encode("utf-8")
        CORPUS.write_bytes(corpus_bytes)
    tokenizer = wrenmark.BpeTokenizer(
        str(CORPUS), target,
        wrenmark.PreTokenization.punctuation() if punctuation else wrenmark.PreTokenization.whitespace(),
        special_tokens,
        wrenmark.SpecialTokenRemovalMethod.aho_corasick() if aho_corasick
        else wrenmark.SpecialTokenRemovalMethod.simple())
    tokenizer.merge_all_occurrences = classic
    try:
        text = corpus_bytes.decode("utf-8")
    except UnicodeDecodeError:
        try:
            tokenizer.train()
        except RuntimeError as error:
            assert str(error).startswith("Error reading file: "), error
            assert harness.vocab_size(tokenizer) == 0
            return
        raise AssertionError("a corpus that is not UTF-8 was trained on") from None
    tokenizer.train()

    model = literal_classic_training.train_text if classic else train_text
    expected = model(text, target, PUNCTUATION if punctuation else WHITESPACE, special_tokens,
                     AHO_CORASICK if aho_corasick else SIMPLE)
    size = harness.vocab_size(tokenizer)
    actual = [tokenizer.get_token_by_id(token_id) for token_id in range(size)]
    limit = expected.order_sensitive_at
    assert actual[:limit] == expected.id_to_token[:limit], (actual, expected.id_to_token)
    if limit is None:
        assert size == len(expected.id_to_token)
    for token_id, token in enumerate(actual):
        if actual.index(token) == token_id:
            assert tokenizer.get_id_by_token(token) == token_id
    if harness.has_encoding():
        harness.check_encoding_consistent(tokenizer, text)


SEEDS = {
    "plain": (0, 40, "the cat sat on the mat, the cat sat", []),
    "punctuation": (2, 60, "hello, world! hello... world?? (hello) [world]", []),
    "specials_simple": (0, 50, "<s>aaa bbb</s> aaa<s>bbb ab</s>ab", ["<s>", "</s>"]),
    "specials_aho": (1, 50, "<s>aaa bbb</s> aaa<s>bbb abc</s>ab", ["<s>", "s>", "</s>", "b"]),
    "overlapping": (1, 30, "abcabcab ababab", ["abc", "bca", "ab", ""]),
    "unicode": (2, 80, "naïve café 日本語 😀😀😀 a\u00a0b\u3000c\u2028d", ["日本", "😀"]),
    "end_of_word": (0, 30, "a</w> b</w>b </w>", ["</w>", "w"]),
    "long_word": (0, 300, "ab" * 300 + " " + "a" * 400, []),
    "classic_long_word": (8, 300, "ab" * 300 + " " + "a" * 400 + " aab" * 5, []),
    "classic_specials": (9, 50, "<s>aaa bbb</s> aaa<s>bbb abc</s>ab", ["<s>", "s>", "</s>", "b"]),
    "nul": (1, 20, "a\x00b \x00\x00", ["\x00", "\x00b"]),
    "raw_invalid": (4, 20, "abc\udcff", []),
}


def write_seeds(directory):
    directory.mkdir(parents=True, exist_ok=True)
    for name, (flags, target, corpus, special_tokens) in SEEDS.items():
        body = harness.SEPARATOR.join([corpus, *special_tokens]).encode("utf-8", "surrogateescape")
        (directory / name).write_bytes(bytes([flags]) + target.to_bytes(2, "little") + body)


if __name__ == "__main__":
    harness.main("training", test_one_input, write_seeds, scratch)
