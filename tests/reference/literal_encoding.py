"""A literal model of encoding and decoding, written step by step for differential tests.

It works on plain Python containers and follows the algorithm word for word: no caches, no
heaps, a full rescan for the lowest rank after every merge.
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from pathlib import Path

END_OF_WORD = "</w>"

WORD, SUBWORD, SPECIALTOKEN = 0, 1, 2

WHITE_SPACE = frozenset(
    chr(code)
    for code in [
        *range(0x09, 0x0E),
        0x20,
        0x85,
        0xA0,
        0x1680,
        *range(0x2000, 0x200B),
        0x2028,
        0x2029,
        0x202F,
        0x205F,
        0x3000,
    ]
)
PUNCTUATION = frozenset(
    chr(code) for code in [*range(0x21, 0x30), *range(0x3A, 0x41), *range(0x5B, 0x61), *range(0x7B, 0x7F)]
)


@dataclass
class Model:
    id_to_token: list[str]
    token_to_id: dict[str, int]
    ranks: dict[tuple[int, int], int]
    pairs_to_merge: dict[tuple[int, int], int]
    special_tokens: list[str]
    pre_tokenization: str  # "Whitespace" or "Punctuation"
    unknown_token: str | None = None  # stands for every character that has no token
    byte_fallback: bool = False  # a character without a token becomes its UTF-8 bytes' tokens


def byte_token(byte: int) -> str:
    return f"<0x{byte:02X}>"


def byte_of_id(model: Model, token_id: int) -> int | None:
    """The byte that the token with `token_id` stands for, when it is the byte token of one."""
    for byte in range(256):
        if model.token_to_id.get(byte_token(byte)) == token_id:
            return byte
    return None


class MissingToken(Exception):
    """A character (or the end-of-word marker) has no token: encode fails with this text."""

    def __init__(self, token: str) -> None:
        super().__init__(f"the id for token {token} does not exist")


def pre_tokenize(text: str, pre_tokenization: str) -> list[str]:
    pieces = []
    piece = ""
    for character in text:
        if character in WHITE_SPACE:
            if piece != "":
                pieces.append(piece)
            piece = ""
        else:
            piece += character
    if piece != "":
        pieces.append(piece)
    if pre_tokenization == "Whitespace":
        return pieces

    words = []
    for piece in pieces:
        if not any(character in PUNCTUATION for character in piece):
            words.append(piece)
            continue
        run = ""
        for character in piece:
            if character in PUNCTUATION:
                if run != "":
                    words.append(run)
                words.append(character)
                run = ""
            else:
                run += character
        if run != "":
            words.append(run)
    return words


def split_on_special_tokens(text: str, special_tokens: list[str]) -> tuple[list[str], list[str]]:
    """Plain segments and special-token matches; segment i lies before match i."""
    segments = []
    matches = []
    cursor = 0
    segment_start = 0
    while cursor < len(text):
        match = None
        for token in special_tokens:
            # An empty special token would match without moving the cursor: it never matches.
            if token != "" and text.startswith(token, cursor):
                match = token
                break
        if match is None:
            cursor += 1
            continue
        segments.append(text[segment_start:cursor])
        matches.append(match)
        cursor += len(match)
        segment_start = cursor
    if segment_start < len(text):
        segments.append(text[segment_start:])
    return segments, matches


def apply_merges(symbols: list[int], model: Model) -> list[int]:
    symbols = list(symbols)
    while True:
        if len(symbols) < 2:
            return symbols
        chosen = None
        chosen_rank = None
        for position in range(len(symbols) - 1):
            pair = (symbols[position], symbols[position + 1])
            if pair in model.ranks and (chosen_rank is None or model.ranks[pair] < chosen_rank):
                chosen = pair
                chosen_rank = model.ranks[pair]
        if chosen is None:
            return symbols
        if chosen not in model.pairs_to_merge:
            return symbols
        merged = model.pairs_to_merge[chosen]
        rewritten = []
        position = 0
        while position < len(symbols):
            if position + 1 < len(symbols) and (symbols[position], symbols[position + 1]) == chosen:
                rewritten.append(merged)
                position += 2
            else:
                rewritten.append(symbols[position])
                position += 1
        symbols = rewritten


def classify_token(token: str, words: set[str], model: Model) -> int:
    if token == END_OF_WORD:
        return SPECIALTOKEN
    if token in model.special_tokens:
        return SPECIALTOKEN
    if token.endswith(END_OF_WORD) and token[: -len(END_OF_WORD)] in words:
        return WORD
    return SUBWORD


def word_symbols(word: str, end_of_word_id: int, model: Model) -> list[int]:
    symbols = []
    for character in word:
        if character not in model.token_to_id:
            raise MissingToken(character)
        symbols.append(model.token_to_id[character])
    symbols.append(end_of_word_id)
    return symbols


def unseen_character_ids(character: str, model: Model) -> list[int]:
    """What a character without a token becomes: the unknown token, or with byte fallback the
    byte tokens of its UTF-8 bytes."""
    if model.unknown_token is not None and model.unknown_token in model.token_to_id:
        return [model.token_to_id[model.unknown_token]]
    ids = []
    for byte in character.encode("utf-8"):
        if byte_token(byte) not in model.token_to_id:
            raise MissingToken(byte_token(byte))
        ids.append(model.token_to_id[byte_token(byte)])
    return ids


def encode_word(word: str, end_of_word_id: int, model: Model) -> list[int]:
    """The ids of one word. With an unknown token or byte fallback, each character without a
    token becomes the ids that stand for it, and the runs of known characters on either side merge
    on their own."""
    has_unknown = model.unknown_token is not None and model.unknown_token in model.token_to_id
    if not has_unknown and not model.byte_fallback:
        return apply_merges(word_symbols(word, end_of_word_id, model), model)
    ids = []
    run = []
    for character in word:
        if character in model.token_to_id:
            run.append(model.token_to_id[character])
        else:
            ids.extend(apply_merges(run, model))
            run = []
            ids.extend(unseen_character_ids(character, model))
    run.append(end_of_word_id)
    ids.extend(apply_merges(run, model))
    return ids


def encode(model: Model, text: str) -> tuple[list[str], list[int], list[int]]:
    """Returns (tokens, ids, token_types) for `text`."""
    if END_OF_WORD not in model.token_to_id:
        raise MissingToken(END_OF_WORD)
    end_of_word_id = model.token_to_id[END_OF_WORD]

    id_lists = []
    words = []
    if not model.special_tokens:
        words = pre_tokenize(text, model.pre_tokenization)
        for word in words:
            id_lists.append(encode_word(word, end_of_word_id, model))
    else:
        segments, matches = split_on_special_tokens(text, model.special_tokens)
        for index, segment in enumerate(segments):
            segment_words = pre_tokenize(segment, model.pre_tokenization)
            words.extend(segment_words)
            for word in segment_words:
                id_lists.append(encode_word(word, end_of_word_id, model))
            if index < len(matches) and matches[index] in model.token_to_id:
                id_lists.append([model.token_to_id[matches[index]]])

    word_set = set(words)
    tokens = []
    ids = []
    token_types = []
    for id_list in id_lists:
        for token_id in id_list:
            ids.append(token_id)
            if token_id < len(model.id_to_token):
                token = model.id_to_token[token_id]
                tokens.append(token)
                token_types.append(classify_token(token, word_set, model))
    return tokens, ids, token_types


def decode(model: Model, ids: list[int]) -> str:
    output = ""
    # With byte fallback, a run of byte tokens becomes the text of its bytes, as Python decodes
    # them with errors="replace".
    run = b""
    for token_id in ids:
        if token_id >= len(model.id_to_token):
            continue
        if model.byte_fallback:
            byte = byte_of_id(model, token_id)
            if byte is not None:
                run += bytes([byte])
                continue
            output += run.decode("utf-8", errors="replace")
            run = b""
        token = model.id_to_token[token_id]
        if token.endswith(END_OF_WORD):
            output += token + " "
        elif token in model.special_tokens:
            output += token + " "
        else:
            output += token
    output += run.decode("utf-8", errors="replace")
    return output.replace(END_OF_WORD, "")


def parse_pair_key(key: str) -> tuple[int, int]:
    parts = key.split("_")
    return int(parts[0]), int(parts[1])


def load_model_directory(directory: Path) -> Model:
    """Reads the five files that training writes into a model directory."""
    directory = Path(directory)

    def read(name: str):
        return json.loads((directory / name).read_text(encoding="utf-8"))

    config = read("config.json")
    table = read("token_table.json")
    return Model(
        id_to_token=table["id_to_token"],
        token_to_id=table["token_to_id"],
        ranks={parse_pair_key(key): value for key, value in read("save_ranks.json").items()},
        pairs_to_merge={parse_pair_key(key): value for key, value in read("pairs_to_merge.json").items()},
        special_tokens=config["special_tokens"],
        pre_tokenization=config["pre_tokenizer"],
        unknown_token=config.get("unknown_token"),
        byte_fallback=config.get("byte_fallback", False),
    )


def write_model_directory(model: Model, directory: Path, target_vocab_size: int = 0) -> None:
    """Writes `model` as a model directory that loading accepts (layout aside)."""
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)

    def write(name: str, value) -> None:
        (directory / name).write_text(json.dumps(value, ensure_ascii=False, indent=2), encoding="utf-8")

    def pair_key(pair: tuple[int, int]) -> str:
        return f"{pair[0]}_{pair[1]}"

    write(
        "config.json",
        {
            "target_vocab_size": target_vocab_size,
            "pre_tokenizer": model.pre_tokenization,
            "special_tokens": model.special_tokens,
            "special_token_removal_method": "Simple",
        },
    )
    write("token_table.json", {"id_to_token": model.id_to_token, "token_to_id": model.token_to_id})
    by_rank = sorted(model.ranks.items(), key=lambda item: item[1])
    write("merge_rules.json", [list(pair) for pair, _ in by_rank])
    write("save_ranks.json", {pair_key(pair): rank for pair, rank in model.ranks.items()})
    write("pairs_to_merge.json", {pair_key(pair): merged for pair, merged in model.pairs_to_merge.items()})
