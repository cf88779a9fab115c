"""Export of a trained tokenizer to the tokenizer.json format of HF tokenizers.

`to_tokenizers_json(tokenizer)` returns the text of a tokenizer.json that
`tokenizers.Tokenizer.from_file` and `transformers.PreTrainedTokenizerFast(tokenizer_file=...)`
load, and that encodes every text to exactly the ids that `tokenizer.encode(text).ids` gives,
special tokens included. `save_tokenizers_json(tokenizer, path)` writes it to a file. Neither
needs HF tokenizers installed: the file is plain JSON.

How wrenmark's rules are expressed there:

- The end-of-word marker "</w>" is a symbol of its own after each word's last character. The
  export stands it in for one private-use character that no token contains (the marker), which
  a normalizer inserts after the last character of every word; an input character equal to the
  marker is first replaced by another private-use character missing from the vocabulary, so it
  encodes as an unseen character, as in wrenmark.
- Words: Whitespace splits at the 25 white-space characters; Punctuation also makes each of the
  32 ASCII punctuation characters a word of its own. The normalizer places the marker by these
  rules and the pre-tokenizer cuts after each marker.
- Merges: one entry per merged pair, in the order of its rank (a pair merged twice during
  training keeps its last place, as in wrenmark). When a merge's text collides with an earlier
  token, the vocabulary gets a second key for that token's id, so the merge gives wrenmark's id.
- Special tokens are HF added tokens, matched on the raw text before normalization. HF takes the
  longest of the special tokens that start at one place, wrenmark the first in its list; a special
  token that an earlier one is a prefix of can never match in wrenmark, so it is left out of the
  added tokens (it keeps its id in the vocabulary). The other special tokens then agree.
- The unknown token, when the tokenizer's `unknown_token` is set, is the BPE model's unk_token,
  one per unseen character (`fuse_unk` off).
- Byte fallback, when the tokenizer's `byte_fallback` is set, is the BPE model's byte_fallback:
  HF then spells an unseen character by the vocabulary's tokens "<0x00>" ... "<0xFF>", as
  wrenmark does, and the decoder's ByteFallback step turns them back into text.
- Dropout: `dropout=p` exports the BPE model with HF's dropout p (by default none, as before). HF
  draws its own skips, so the two agree in distribution only, never in the samples drawn.
- Begin and end of text: `prefix_ids` and `suffix_ids` (left out by default) become a
  TemplateProcessing post-processor that adds them around every text, as
  `BpeTokenizer.encode_batch_padded` does with the same ids.
- Offsets and word ids: HF's equal `Encoder.offsets` and `Encoder.word_ids`, except that HF gives
  a "</w>" that stands alone the span of its word's last character (wrenmark the empty span after
  it) and counts each special token as a word (wrenmark gives it None and no number, so HF's
  later word ids are higher by the special tokens before them).

Decoding: the decoder puts back wrenmark's decode rules, token by token: the marker becomes
"</w>" again, a token ending in "</w>" and a special token are followed by a space, and after the
tokens are joined every "</w>" is removed. It matches `tokenizer.decode(ids)` when HF is asked to
keep special tokens and to leave spaces alone: `Tokenizer.decode(ids, skip_special_tokens=False)`,
and in transformers `decode(ids, skip_special_tokens=False, clean_up_tokenization_spaces=False)`.
HF's defaults drop the special tokens from the text.

Where HF cannot follow:

- With byte fallback, an input character equal to the export's marker (a private-use character
  that no token contains) is spelled by the byte tokens of its stand-in, not by its own; and a run
  of byte tokens that is not valid UTF-8 may decode to other replacement characters than wrenmark's
  (which follows Python's bytes.decode(errors="replace")).
- A character that no token spells (unseen in training) makes `encode` raise in wrenmark when
  neither an unknown token nor byte fallback is set; HF drops it silently.
- HF merges one occurrence at a time, always the pair of lowest rank, where wrenmark merges every
  occurrence of that pair in the word before looking again. They differ only when a merge can form
  a pair ranked before itself, which needs a pair merged twice with a merge of its result ranked
  in between, or a merge whose text collides with an earlier token: `export_is_exact(tokenizer)`
  tells whether a tokenizer has such merges.
- A special token that is not in the vocabulary (possible only in a hand-made model directory)
  is cut out of the text without a token by wrenmark; HF has no way to do that, so the export
  refuses such a tokenizer with ValueError.
"""

from __future__ import annotations

import json
import os
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, cast

from wrenmark import BpeTokenizer

if TYPE_CHECKING:
    from wrenmark.wrenmark import _ModelExporting

__all__ = ["to_tokenizers_json", "save_tokenizers_json", "export_is_exact"]

END_OF_WORD = "</w>"

_WHITE_SPACE_CODES = [(0x09, 0x0D), (0x20, 0x20), (0x85, 0x85), (0xA0, 0xA0), (0x1680, 0x1680),
                      (0x2000, 0x200A), (0x2028, 0x2029), (0x202F, 0x202F), (0x205F, 0x205F),
                      (0x3000, 0x3000)]
_PUNCTUATION_CODES = [(0x21, 0x2F), (0x3A, 0x40), (0x5B, 0x60), (0x7B, 0x7E)]
# Where the marker and the stand-in for an input marker are looked for: the private-use areas.
_PRIVATE_USE = [(0xE000, 0xF8FF), (0xF0000, 0xFFFFD), (0x100000, 0x10FFFD)]


@dataclass(frozen=True)
class _Model:
    id_to_token: list[str]
    # (first id, second id, merged id), in rank order.
    merges: list[tuple[int, int, int]]
    special_tokens: list[str]
    pre_tokenization: str
    unknown_token: str | None
    byte_fallback: bool


def _read_model(tokenizer: BpeTokenizer) -> _Model:
    # A private accessor of the extension, outside the public stub; the private one types it.
    exported = cast("_ModelExporting", tokenizer)._export_model()
    if exported is None:
        raise ValueError("Cannot export an untrained tokenizer")
    id_to_token, merges, special_tokens, pre_tokenization = exported
    return _Model(id_to_token, merges, special_tokens, pre_tokenization,
                  tokenizer.unknown_token, tokenizer.byte_fallback)


def _regex_class(ranges: list[tuple[int, int]], negated: bool = False) -> str:
    parts = "".join(f"\\x{{{low:X}}}" if low == high else f"\\x{{{low:X}}}-\\x{{{high:X}}}"
                    for low, high in ranges)
    return f"[{'^' if negated else ''}{parts}]"


def _literal_regex(text: str) -> str:
    # Every character as a code point escape: nothing in the text can mean regex syntax.
    return "".join(f"\\x{{{ord(character):X}}}" for character in text)


def _free_characters(tokens: list[str], count: int) -> list[str]:
    used: set[str] = set()
    for token in tokens:
        used.update(token)
    found: list[str] = []
    for low, high in _PRIVATE_USE:
        for code in range(low, high + 1):
            if chr(code) not in used:
                found.append(chr(code))
                if len(found) == count:
                    return found
    raise ValueError("the vocabulary uses every private-use character; none is left for the marker")


def _word_end_pattern(pre_tokenization: str) -> str:
    """A regex of the empty places right after each word's last character."""
    white_space = _regex_class(_WHITE_SPACE_CODES)
    word_character = _regex_class(_WHITE_SPACE_CODES, negated=True)
    if pre_tokenization == "Whitespace":
        return f"(?<={word_character})(?={white_space}|\\z)"
    punctuation = _regex_class(_PUNCTUATION_CODES)
    boundary = _regex_class(_WHITE_SPACE_CODES + _PUNCTUATION_CODES)
    return f"(?<={punctuation})|(?<={word_character})(?={boundary}|\\z)"


def _reachable_special_tokens(special_tokens: list[str]) -> list[str]:
    """The special tokens that wrenmark's first-in-list matching can ever pick, each once."""
    reachable: dict[str, None] = {}
    for token in special_tokens:
        if token and not any(token[:end] in reachable for end in range(1, len(token) + 1)):
            reachable[token] = None
    return list(reachable)


def _replace(pattern: dict[str, str], content: str) -> dict[str, Any]:
    return {"type": "Replace", "pattern": pattern, "content": content}


def _template_processing(symbols: list[str], prefix_ids: Sequence[int],
                         suffix_ids: Sequence[int]) -> dict[str, Any] | None:
    """HF's post-processor that puts `prefix_ids` before and `suffix_ids` after every text (around
    both texts of a pair, with the suffix between them), as encode_batch_padded does; None when
    both are empty, so that the export stays as it was."""
    if not prefix_ids and not suffix_ids:
        return None
    names: dict[int, str] = {}
    for token_id in [*prefix_ids, *suffix_ids]:
        if not 0 <= token_id < len(symbols):
            raise ValueError(f"{token_id} is not the id of a token of the vocabulary")
        if token_id not in names:
            name = symbols[token_id]
            names[token_id] = name if name not in names.values() else f"{name} ({token_id})"

    def pieces(ids: Sequence[int], type_id: int) -> list[dict[str, Any]]:
        return [{"SpecialToken": {"id": names[token_id], "type_id": type_id}} for token_id in ids]

    def sequence(name: str, type_id: int) -> dict[str, Any]:
        return {"Sequence": {"id": name, "type_id": type_id}}

    return {
        "type": "TemplateProcessing",
        "single": [*pieces(prefix_ids, 0), sequence("A", 0), *pieces(suffix_ids, 0)],
        "pair": [*pieces(prefix_ids, 0), sequence("A", 0), *pieces(suffix_ids, 0), sequence("B", 1),
                 *pieces(suffix_ids, 1)],
        "special_tokens": {name: {"id": name, "ids": [token_id], "tokens": [symbols[token_id]]}
                           for token_id, name in names.items()},
    }


def _tokenizer_document(model: _Model, dropout: float | None, prefix_ids: Sequence[int] = (),
                        suffix_ids: Sequence[int] = ()) -> dict[str, Any]:
    marker, marker_stand_in = _free_characters(model.id_to_token, 2)
    token_to_id: dict[str, int] = {}
    for index, token in enumerate(model.id_to_token):
        token_to_id.setdefault(token, index)

    def marked(token: str) -> str:
        return token[: -len(END_OF_WORD)] + marker if token.endswith(END_OF_WORD) else token

    symbols = [marked(token) for token in model.id_to_token]
    vocab: dict[str, int] = {}
    for index, symbol in enumerate(symbols):
        vocab.setdefault(symbol, index)
    merges: list[list[str]] = []
    for first, second, merged in model.merges:
        merges.append([symbols[first], symbols[second]])
        # HF finds a merge's result by its text; a text that collided with another token gets
        # a second key for the id that wrenmark's merge gives.
        vocab.setdefault(symbols[first] + symbols[second], merged)

    added_tokens: list[dict[str, Any]] = []
    for token in _reachable_special_tokens(model.special_tokens):
        if token not in token_to_id:
            raise ValueError(f"the special token {token} is not in the vocabulary")
        # HF gives an added token the id its text has in the model's vocabulary, and a new id
        # when the text is missing there (a special token ending in "</w>" is there marked).
        vocab.setdefault(token, token_to_id[token])
        added_tokens.append({"id": token_to_id[token], "content": token, "single_word": False,
                             "lstrip": False, "rstrip": False, "normalized": False, "special": True})
    unknown = None
    if model.unknown_token is not None:
        unknown = symbols[token_to_id[model.unknown_token]]

    spaced_special_tokens = [token for token in dict.fromkeys(model.special_tokens)
                             if token and not token.endswith(END_OF_WORD)]
    decoders = [
        *([{"type": "ByteFallback"}] if model.byte_fallback else []),
        _replace({"String": marker}, END_OF_WORD),
        _replace({"Regex": _literal_regex(END_OF_WORD) + "\\z"}, END_OF_WORD + " "),
        *(_replace({"Regex": "\\A" + _literal_regex(token) + "\\z"}, token + " ")
          for token in spaced_special_tokens),
        {"type": "Fuse"},
        _replace({"String": END_OF_WORD}, ""),
    ]
    return {
        "version": "1.0",
        "truncation": None,
        "padding": None,
        "added_tokens": added_tokens,
        "normalizer": {"type": "Sequence", "normalizers": [
            _replace({"String": marker}, marker_stand_in),
            _replace({"Regex": _word_end_pattern(model.pre_tokenization)}, marker),
        ]},
        "pre_tokenizer": {"type": "Sequence", "pretokenizers": [
            {"type": "WhitespaceSplit"},
            {"type": "Split", "pattern": {"String": marker}, "behavior": "MergedWithPrevious",
             "invert": False},
        ]},
        "post_processor": _template_processing(symbols, prefix_ids, suffix_ids),
        "decoder": {"type": "Sequence", "decoders": decoders},
        "model": {
            "type": "BPE",
            "dropout": dropout,
            "unk_token": unknown,
            "continuing_subword_prefix": None,
            "end_of_word_suffix": None,
            "fuse_unk": False,
            "byte_fallback": model.byte_fallback,
            "ignore_merges": False,
            "vocab": vocab,
            "merges": merges,
        },
    }


def _checked_dropout(dropout: float | None) -> float | None:
    if dropout is not None and not 0 <= dropout < 1:
        raise ValueError(f"dropout must be in [0, 1), not {dropout!r}")
    return dropout


def to_tokenizers_json(tokenizer: BpeTokenizer, *, dropout: float | None = None,
                       prefix_ids: Sequence[int] = (), suffix_ids: Sequence[int] = ()) -> str:
    """The tokenizer.json text of HF tokenizers that encodes as `tokenizer` does.

    `dropout`, when given, is the BPE-dropout probability that HF's model applies. With
    `prefix_ids` or `suffix_ids`, a post-processor adds them around every encoded text, as
    `encode_batch_padded` does with the same arguments.
    """
    document = _tokenizer_document(_read_model(tokenizer), _checked_dropout(dropout), list(prefix_ids),
                                   list(suffix_ids))
    return json.dumps(document, ensure_ascii=False, indent=2)


def save_tokenizers_json(tokenizer: BpeTokenizer, path: str | os.PathLike[str], *,
                         dropout: float | None = None, prefix_ids: Sequence[int] = (),
                         suffix_ids: Sequence[int] = ()) -> None:
    """Writes the tokenizer.json of `to_tokenizers_json(tokenizer, ...)` to `path`."""
    text = to_tokenizers_json(tokenizer, dropout=dropout, prefix_ids=prefix_ids, suffix_ids=suffix_ids)
    with open(path, "w", encoding="utf-8") as file:
        file.write(text)


def export_is_exact(tokenizer: BpeTokenizer) -> bool:
    """Whether the export encodes every text that `tokenizer` can encode to the same ids.

    False when some merge can form a pair ranked before itself, where HF's one occurrence at a
    time and wrenmark's every occurrence at once may part (see the module's docstring).
    """
    model = _read_model(tokenizer)
    last_rank_of_result: dict[int, int] = {}
    for rank, (_, _, merged) in enumerate(model.merges):
        last_rank_of_result[merged] = rank
    for rank, (first, second, _) in enumerate(model.merges):
        for operand in (first, second):
            if last_rank_of_result.get(operand, -1) > rank:
                return False
    return True
