"""Turns a model directory of ours into models of the peers' encoders.

- `tokenizers`, same merges: our vocabulary and merge list with our ids. Our end-of-word marker
  is a symbol of its own after the word's last character, so the marker becomes one private-use
  character that a normalizer appends to every word; both encoders then apply the same merges to
  the same symbols, and the ids come out equal (the benchmark checks it).
- `tokenizers`, suffix: the set-up that people use, the pre-tokenizer WhitespaceSplit and the
  end-of-word suffix "</w>" glued to each word's last character. Every merge (a, b) of ours also
  enters as (a, b + "</w>") so that words ending in b merge alike; a word whose end stays apart in
  our encoding ends in one token fewer here. Same merges in the same order, not the same ids.
- `tiktoken`: byte-level ranks built from our merge order (the 256 bytes, the byte prefixes of
  every character, then each merged token's bytes with "</w>" turned into a trailing space).
  Indicative only: tiktoken merges bytes, not characters, and keeps the space between words.
"""

from __future__ import annotations

import json
from pathlib import Path

END_OF_WORD = "</w>"
# A private-use character that stands for the end-of-word marker; the corpus has none.
MARKER = "\ue000"
# The 25 white-space characters that both pre-tokenizers cut at (Rust's char::is_whitespace).
WHITE_SPACE = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008"
    "\u2009\u200a\u2028\u2029\u202f\u205f\u3000"
)
TIKTOKEN_PATTERN = r"\S+ ?|\s+"


def read_model(model_dir: Path) -> tuple[list[str], list[tuple[int, int]]]:
    id_to_token = json.loads((model_dir / "token_table.json").read_text(encoding="utf-8"))["id_to_token"]
    merges = [tuple(pair) for pair in json.loads((model_dir / "merge_rules.json").read_text())]
    return id_to_token, merges


def _marked(token: str) -> str:
    return token[: -len(END_OF_WORD)] + MARKER if token.endswith(END_OF_WORD) else token


def tokenizers_same_merges(model_dir: Path):
    from tokenizers import Regex, Tokenizer, decoders, models, normalizers, pre_tokenizers

    id_to_token, merges = read_model(model_dir)
    if any(MARKER in token for token in id_to_token):
        raise ValueError(f"the vocabulary already holds the marker character U+{ord(MARKER):04X}")
    tokens = [_marked(token) for token in id_to_token]
    vocab = {token: index for index, token in enumerate(tokens)}
    if len(vocab) != len(tokens):
        raise ValueError("two tokens differ only in a literal '</w>' at their end")
    tokenizer = Tokenizer(
        models.BPE(vocab=vocab, merges=[(tokens[a], tokens[b]) for a, b in merges])
    )
    # The marker goes after every word's last character: at a white-space character or the end.
    tokenizer.normalizer = normalizers.Replace(
        Regex(f"(?<=[^{WHITE_SPACE}])(?=[{WHITE_SPACE}]|\\z)"), MARKER
    )
    tokenizer.pre_tokenizer = pre_tokenizers.WhitespaceSplit()
    tokenizer.decoder = decoders.BPEDecoder(suffix=MARKER)
    return tokenizer


def tokenizers_suffix(model_dir: Path):
    from tokenizers import Tokenizer, decoders, models, pre_tokenizers

    id_to_token, merges = read_model(model_dir)
    vocab = {token: index for index, token in enumerate(id_to_token)}

    def add(token: str) -> None:
        vocab.setdefault(token, len(vocab))

    for token in id_to_token:
        if len(token) == 1:
            add(token + END_OF_WORD)
    suffixed_merges = []
    for a, b in merges:
        left, right = id_to_token[a], id_to_token[b]
        if right == END_OF_WORD:
            continue  # the suffix is glued on from the start
        suffixed_merges.append((left, right))
        if not right.endswith(END_OF_WORD):
            add(right + END_OF_WORD)
            add(left + right + END_OF_WORD)
            suffixed_merges.append((left, right + END_OF_WORD))
    tokenizer = Tokenizer(
        models.BPE(vocab=vocab, merges=suffixed_merges, end_of_word_suffix=END_OF_WORD)
    )
    tokenizer.pre_tokenizer = pre_tokenizers.WhitespaceSplit()
    tokenizer.decoder = decoders.BPEDecoder(suffix=END_OF_WORD)
    return tokenizer


def tiktoken_ranks(model_dir: Path) -> list[str]:
    """The byte sequences in rank order, as hexadecimal text (JSON has no bytes)."""
    id_to_token, merges = read_model(model_dir)
    ranks: dict[bytes, int] = {bytes([value]): value for value in range(256)}
    for token in id_to_token:
        if len(token) == 1:
            encoded = token.encode("utf-8")
            for length in range(2, len(encoded) + 1):
                ranks.setdefault(encoded[:length], len(ranks))
    for a, b in merges:
        text = id_to_token[a] + id_to_token[b]
        if text.endswith(END_OF_WORD):
            text = text[: -len(END_OF_WORD)] + " "
        ranks.setdefault(text.encode("utf-8"), len(ranks))
    return [sequence.hex() for sequence in sorted(ranks, key=ranks.__getitem__)]


def tiktoken_encoding(hex_ranks: list[str]):
    import tiktoken

    return tiktoken.Encoding(
        name="wrenmark-merges",
        pat_str=TIKTOKEN_PATTERN,
        mergeable_ranks={bytes.fromhex(text): rank for rank, text in enumerate(hex_ranks)},
        special_tokens={},
    )


def write_peer_models(model_dir: Path, out_dir: Path) -> dict[str, str]:
    """Writes the converted models; returns {encoder name: path to load}."""
    out_dir.mkdir(parents=True, exist_ok=True)
    paths = {
        "tokenizers (same merges)": out_dir / "tokenizers-same-merges.json",
        "tokenizers (suffix </w>)": out_dir / "tokenizers-suffix.json",
        "tiktoken (indicative)": out_dir / "tiktoken-ranks.json",
    }
    tokenizers_same_merges(model_dir).save(str(paths["tokenizers (same merges)"]))
    tokenizers_suffix(model_dir).save(str(paths["tokenizers (suffix </w>)"]))
    paths["tiktoken (indicative)"].write_text(json.dumps(tiktoken_ranks(model_dir)))
    return {name: str(path) for name, path in paths.items()}
