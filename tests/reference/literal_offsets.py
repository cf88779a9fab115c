"""A literal model of where each token of an encoding comes from, for differential tests.

It encodes as literal_encoding does, but carries with every symbol the span of text it was made
from: a character covers itself, the end-of-word marker the empty span at its word's end, and
a merge covers the spans of both of its symbols. Offsets are str indexes, so code points.
"""

from __future__ import annotations

from reference.literal_encoding import END_OF_WORD, PUNCTUATION, WHITE_SPACE, Model, split_on_special_tokens


def words_with_starts(text: str, pre_tokenization: str) -> list[tuple[str, int]]:
    """The words of literal_encoding.pre_tokenize, each with its index in `text`."""
    words = []
    start = None
    for position, character in enumerate(text + " "):
        ends_word = character in WHITE_SPACE or position == len(text)
        splits = pre_tokenization == "Punctuation" and character in PUNCTUATION
        if ends_word or splits:
            if start is not None:
                words.append((text[start:position], start))
            start = None
            if splits:
                words.append((character, position))
        elif start is None:
            start = position
    return words


def merge_with_spans(symbols: list[tuple[int, int, int]], model: Model) -> list[tuple[int, int, int]]:
    """literal_encoding.apply_merges on (id, start, end) symbols: a merge joins the spans."""
    symbols = list(symbols)
    while len(symbols) >= 2:
        chosen = None
        for position in range(len(symbols) - 1):
            pair = (symbols[position][0], symbols[position + 1][0])
            if pair in model.ranks and (chosen is None or model.ranks[pair] < model.ranks[chosen]):
                chosen = pair
        if chosen is None or chosen not in model.pairs_to_merge:
            return symbols
        rewritten = []
        position = 0
        while position < len(symbols):
            if position + 1 < len(symbols) and (symbols[position][0], symbols[position + 1][0]) == chosen:
                rewritten.append((model.pairs_to_merge[chosen], symbols[position][1], symbols[position + 1][2]))
                position += 2
            else:
                rewritten.append(symbols[position])
                position += 1
        symbols = rewritten
    return symbols


def word_spans(word: str, start: int, model: Model) -> list[tuple[int, int, int]]:
    end_of_word = (model.token_to_id[END_OF_WORD], start + len(word), start + len(word))
    unknown_id = model.token_to_id.get(model.unknown_token) if model.unknown_token is not None else None
    spans = []
    run = []
    for offset, character in enumerate(word):
        if character in model.token_to_id:
            run.append((model.token_to_id[character], start + offset, start + offset + 1))
        else:
            spans.extend(merge_with_spans(run, model))
            run = []
            spans.append((unknown_id, start + offset, start + offset + 1))
    run.append(end_of_word)
    spans.extend(merge_with_spans(run, model))
    return spans


def token_places(model: Model, text: str) -> list[tuple[int, int, int | None]]:
    """(start, end, word index) of every token of literal_encoding.encode(model, text); every word
    counts; a special token is no word (None) and takes no number."""
    if model.special_tokens:
        segments, matches = split_on_special_tokens(text, model.special_tokens)
    else:
        segments, matches = [text], []
    places = []
    word_index = 0
    position = 0
    for index, segment in enumerate(segments):
        for word, start in words_with_starts(segment, model.pre_tokenization):
            for token_id, token_start, token_end in word_spans(word, position + start, model):
                if token_id < len(model.id_to_token):
                    places.append((token_start, token_end, word_index))
            word_index += 1
        position += len(segment)
        if index < len(matches):
            if matches[index] in model.token_to_id:
                places.append((position, position + len(matches[index]), None))
            position += len(matches[index])
    return places
