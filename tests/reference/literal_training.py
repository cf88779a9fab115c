"""A slow, literal Python model of wrenmark's training.

Every step is written out the way the trainer is described, with plain
dicts, sets, lists and heapq, so that the C++ trainer can be compared with it
on many small corpora. Nothing here is tuned for speed.

Hash-ordered containers of the C++ side (the occurrence sets of
`pair_positions`) are iterated here in sorted order, so that the model is
deterministic. That order only matters in one pathological situation, which
the model reports instead of hiding (see `Training.order_sensitive_at`).
"""

from __future__ import annotations

import heapq
import random
from dataclasses import dataclass, field

END_OF_WORD = "</w>"
NO_MORE_PAIRS_MESSAGE = "targeted vocab size not reached as no more pairs to merge "

WHITESPACE = "whitespace"
PUNCTUATION = "punctuation"
SIMPLE = "simple"
AHO_CORASICK = "aho_corasick"

# The 25 code points with the Unicode White_Space property.
WHITE_SPACE_CHARACTERS = frozenset(
    [chr(c) for c in range(0x0009, 0x000D + 1)]
    + [chr(0x0020), chr(0x0085), chr(0x00A0), chr(0x1680)]
    + [chr(c) for c in range(0x2000, 0x200A + 1)]
    + [chr(0x2028), chr(0x2029), chr(0x202F), chr(0x205F), chr(0x3000)]
)

# The 32 ASCII punctuation characters.
PUNCTUATION_CHARACTERS = frozenset(
    [chr(c) for c in range(0x21, 0x2F + 1)]
    + [chr(c) for c in range(0x3A, 0x40 + 1)]
    + [chr(c) for c in range(0x5B, 0x60 + 1)]
    + [chr(c) for c in range(0x7B, 0x7E + 1)]
)

assert len(WHITE_SPACE_CHARACTERS) == 25
assert len(PUNCTUATION_CHARACTERS) == 32


class TokenTable:
    def __init__(self) -> None:
        self.id_to_token: list[str] = []
        self.token_to_id: dict[str, int] = {}

    def add_token(self, token: str) -> int:
        if token in self.token_to_id:
            return self.token_to_id[token]
        new_id = len(self.id_to_token)
        self.id_to_token.append(token)
        self.token_to_id[token] = new_id
        return new_id


# ---------------------------------------------------------------- corpus


def read_corpus(path) -> str:
    with open(path, "rb") as corpus_file:
        return corpus_file.read().decode("utf-8")


def remove_simple(text: str, special_tokens: list[str]) -> str:
    working = text
    for token in special_tokens:
        if token == "":
            continue  # an empty token leaves the text unchanged
        output = []
        scan = 0
        while True:
            found = working.find(token, scan)
            if found < 0:
                output.append(working[scan:])
                break
            output.append(working[scan:found])
            scan = found + len(token)
        working = "".join(output)
    return working


def _first_ending_occurrence(text: str, scan: int, special_tokens: list[str]):
    """Of all occurrences starting at or after `scan`, the one that ends first;
    the longest among those ending at the same place. Returns (start, end)."""
    best = None
    for token in special_tokens:
        start = text.find(token, scan)
        if start < 0:
            continue
        end = start + len(token)
        if best is None or end < best[1] or (end == best[1] and end - start > best[1] - best[0]):
            best = (start, end)
    return best


def remove_aho_corasick(text: str, special_tokens: list[str]) -> str:
    output = []
    scan = 0
    while True:
        occurrence = _first_ending_occurrence(text, scan, special_tokens)
        if occurrence is None:
            output.append(text[scan:])
            break
        start, end = occurrence
        output.append(text[scan:start])
        if start == end:
            # An empty match deletes nothing; step over one character so the
            # scan moves on. With an empty token every match is empty.
            if start == len(text):
                break
            output.append(text[start])
            scan = start + 1
        else:
            scan = end
    return "".join(output)


def remove_special_tokens(text: str, special_tokens: list[str], method: str) -> str:
    if method == SIMPLE:
        return remove_simple(text, special_tokens)
    if method == AHO_CORASICK:
        return remove_aho_corasick(text, special_tokens)
    raise ValueError(f"unknown removal method {method!r}")


# ---------------------------------------------------------------- words


def split_on_white_space(text: str) -> list[str]:
    pieces = []
    current = []
    for character in text:
        if character in WHITE_SPACE_CHARACTERS:
            if current:
                pieces.append("".join(current))
            current = []
        else:
            current.append(character)
    if current:
        pieces.append("".join(current))
    return pieces


def pre_tokenize(text: str, pre_tokenization: str) -> list[str]:
    pieces = split_on_white_space(text)
    if pre_tokenization == WHITESPACE:
        return pieces
    if pre_tokenization != PUNCTUATION:
        raise ValueError(f"unknown pre-tokenization {pre_tokenization!r}")
    words = []
    for piece in pieces:
        if not any(character in PUNCTUATION_CHARACTERS for character in piece):
            words.append(piece)
            continue
        run = []
        for character in piece:
            if character in PUNCTUATION_CHARACTERS:
                if run:
                    words.append("".join(run))
                words.append(character)
                run = []
            else:
                run.append(character)
        if run:
            words.append("".join(run))
    return words


@dataclass
class WordCount:
    symbols: list[int]
    count: int


def build_vocabulary(words: list[str], token_table: TokenTable):
    """Returns (word_counts, pair_positions, end_of_word_id)."""
    char_to_id: dict[str, int] = {}
    for word in words:
        for character in word:
            if character not in char_to_id:
                char_to_id[character] = token_table.add_token(character)
    end_of_word_id = token_table.add_token(END_OF_WORD)

    word_symbols = [[char_to_id[character] for character in word] + [end_of_word_id] for word in words]
    word_counts, pair_positions = count_spelled_words(word_symbols)
    return word_counts, pair_positions, end_of_word_id


def count_spelled_words(word_symbols: list[list[int]]):
    """The words, given as their symbol sequences, counted and indexed by pair.
    Returns (word_counts, pair_positions)."""
    word_counts: list[WordCount] = []
    word_lookup: dict[tuple[int, ...], int] = {}
    pair_positions: dict[tuple[int, int], set[tuple[int, int]]] = {}
    for sequence in word_symbols:
        key = tuple(sequence)
        if key in word_lookup:
            word_counts[word_lookup[key]].count += 1
            continue
        word_index = len(word_counts)
        word_counts.append(WordCount(list(sequence), 1))
        word_lookup[key] = word_index
        for i in range(len(sequence) - 1):
            pair = (sequence[i], sequence[i + 1])
            pair_positions.setdefault(pair, set()).add((word_index, i))
    return word_counts, pair_positions


def token_length(token: str) -> int:
    """The characters of a token, a final end-of-word marker not counted."""
    return len(token.removesuffix(END_OF_WORD))


# ---------------------------------------------------------------- merges


@dataclass
class TrainingResult:
    id_to_token: list[str]
    merge_rules: list[tuple[int, int]]
    ranks: dict[tuple[int, int], int]
    pairs_to_merge: dict[tuple[int, int], int]
    target_not_reached: bool
    # Vocabulary size right after the first merge step whose outcome depends
    # on the iteration order of an occurrence set, or None. Tokens beyond
    # this size may legitimately differ from an implementation that iterates
    # in another order.
    order_sensitive_at: int | None = None
    words: list[str] = field(default_factory=list)


class Training:
    """The pair statistics and the merge loop, one method per step."""

    def __init__(self, token_table: TokenTable, word_counts, pair_positions, target_vocab_size: int,
                 order_rng: random.Random | None = None, min_frequency: int = 0,
                 max_token_length: int | None = None) -> None:
        self.token_table = token_table
        self.word_counts = word_counts
        self.pair_positions = pair_positions
        self.target_vocab_size = target_vocab_size
        self.merge_rules: list[tuple[int, int]] = []
        self.pair_counts: dict[tuple[int, int], int] = {}
        self.merge_heap: list[tuple[int, int, int]] = []
        self.target_not_reached = False
        self.order_sensitive_at: int | None = None
        # None: iterate occurrence sets sorted. A Random: iterate them in a
        # shuffled order, to imitate a hash set.
        self.order_rng = order_rng
        # Merging stops at a best pair rarer than this; no pair is chosen whose token would be
        # longer than max_token_length characters.
        self.min_frequency = min_frequency
        self.max_token_length = max_token_length

    def _in_set_order(self, occurrences):
        ordered = sorted(occurrences)
        if self.order_rng is not None:
            self.order_rng.shuffle(ordered)
        return ordered

    def _push(self, count: int, first: int, second: int) -> None:
        # heapq is a min-heap: negate every key so that the greatest
        # (count, first id, second id) comes out first.
        heapq.heappush(self.merge_heap, (-count, -first, -second))

    def _pop(self) -> tuple[int, int, int]:
        count, first, second = heapq.heappop(self.merge_heap)
        return -count, -first, -second

    def initial_pair_statistics(self) -> None:
        for word in self.word_counts:
            if len(word.symbols) < 2:
                continue
            for i in range(len(word.symbols) - 1):
                pair = (word.symbols[i], word.symbols[i + 1])
                self.pair_counts[pair] = self.pair_counts.get(pair, 0) + word.count
        for (first, second), count in self.pair_counts.items():
            self._push(count, first, second)

    def _note_change(self, pass_changes, pair, index, amount) -> None:
        # pair -> [count when the pass first touched it, decremented, incremented]
        if pair not in pass_changes:
            pass_changes[pair] = [self.pair_counts.get(pair, 0), 0, 0]
        pass_changes[pair][index] += amount

    def _decrement(self, pair, amount, pass_changes) -> None:
        self._note_change(pass_changes, pair, 1, amount)
        if pair in self.pair_counts:
            self.pair_counts[pair] = max(self.pair_counts[pair] - amount, 0)
        self._push(self.pair_counts.get(pair, 0), pair[0], pair[1])

    def _increment(self, pair, amount, pass_changes) -> None:
        self._note_change(pass_changes, pair, 2, amount)
        self.pair_counts[pair] = self.pair_counts.get(pair, 0) + amount
        self._push(self.pair_counts[pair], pair[0], pair[1])

    def _within_length(self, a: int, b: int) -> bool:
        id_to_token = self.token_table.id_to_token
        return self.max_token_length is None or token_length(id_to_token[a] + id_to_token[b]) <= self.max_token_length

    def merge_step(self) -> bool:
        """One merge step. Returns False when the heap ran dry or the best pair is too rare."""
        while True:
            if not self.merge_heap:
                self.target_not_reached = True
                return False
            count, a, b = self._pop()
            if (a, b) in self.pair_counts and self.pair_counts[(a, b)] == count and self._within_length(a, b):
                break
        if count < self.min_frequency:
            return False

        id_to_token = self.token_table.id_to_token
        assert a < len(id_to_token), "Token1 not found"
        assert b < len(id_to_token), "Token2 not found"
        new_id = self.token_table.add_token(id_to_token[a] + id_to_token[b])
        self.merge_rules.append((a, b))

        if (a, b) not in self.pair_positions:
            return True
        occurrences = self._in_set_order(self.pair_positions[(a, b)])

        # Statistics pass, on the words as they are before this step.
        pass_changes: dict[tuple[int, int], list[int]] = {}
        for w, p in occurrences:
            assert w < len(self.word_counts)
            symbols = self.word_counts[w].symbols
            if not (p + 1 < len(symbols) and symbols[p] == a and symbols[p + 1] == b):
                continue
            f = self.word_counts[w].count
            if p > 0:
                left = symbols[p - 1]
                self._decrement((left, a), f, pass_changes)
                self._increment((left, new_id), f, pass_changes)
            if p + 2 < len(symbols):
                right = symbols[p + 2]
                self._decrement((b, right), f, pass_changes)
                self._increment((new_id, right), f, pass_changes)
        # A pair that is both decremented and incremented in one pass ends
        # with a count that depends on the order of the pass exactly when some
        # order makes a decrement saturate at 0 (or miss a pair that an
        # increment creates later in the pass).
        for count_before, decremented, incremented in pass_changes.values():
            if decremented > 0 and incremented > 0 and decremented > count_before:
                if self.order_sensitive_at is None:
                    self.order_sensitive_at = len(id_to_token)

        del self.pair_counts[(a, b)]

        # Rewrite pass, by position ascending; the sort is stable.
        entries = list(occurrences)
        entries.sort(key=lambda entry: entry[1])
        for w, p in entries:
            assert w < len(self.word_counts)
            symbols = self.word_counts[w].symbols
            if not p + 1 < len(symbols):
                continue
            if p > 0 and (symbols[p - 1], symbols[p]) in self.pair_positions:
                self.pair_positions[(symbols[p - 1], symbols[p])].discard((w, p - 1))
            if p + 2 < len(symbols) and (symbols[p + 1], symbols[p + 2]) in self.pair_positions:
                self.pair_positions[(symbols[p + 1], symbols[p + 2])].discard((w, p + 1))
            if not (symbols[p] == a and symbols[p + 1] == b):
                continue
            symbols[p] = new_id
            del symbols[p + 1]
            if p > 0:
                self.pair_positions.setdefault((symbols[p - 1], new_id), set()).add((w, p - 1))
            if p + 1 < len(symbols):
                self.pair_positions.setdefault((new_id, symbols[p + 1]), set()).add((w, p))

        del self.pair_positions[(a, b)]
        return True

    def merge_loop(self) -> None:
        while len(self.token_table.id_to_token) < self.target_vocab_size:
            if not self.merge_step():
                break

    def derived_tables(self):
        ranks: dict[tuple[int, int], int] = {}
        pairs_to_merge: dict[tuple[int, int], int] = {}
        id_to_token = self.token_table.id_to_token
        for i, (a, b) in enumerate(self.merge_rules):
            assert a < len(id_to_token) and b < len(id_to_token), "token not found"
            ranks[(a, b)] = i
            pairs_to_merge[(a, b)] = self.token_table.token_to_id[id_to_token[a] + id_to_token[b]]
        return ranks, pairs_to_merge


def special_tokens_and_words(text: str, pre_tokenization: str, special_tokens: list[str] | None,
                             removal_method: str) -> tuple[TokenTable, list[str]]:
    """The token table holding the special tokens, and the words of the text without them."""
    special_tokens = list(special_tokens or [])
    token_table = TokenTable()
    if special_tokens:
        for token in special_tokens:
            token_table.add_token(token)
        text = remove_special_tokens(text, special_tokens, removal_method)
    return token_table, pre_tokenize(text, pre_tokenization)


def train_text(text: str, target_vocab_size: int, pre_tokenization: str = WHITESPACE,
               special_tokens: list[str] | None = None, removal_method: str = SIMPLE,
               order_rng: random.Random | None = None, min_frequency: int = 0,
               max_token_length: int | None = None) -> TrainingResult:
    token_table, words = special_tokens_and_words(text, pre_tokenization, special_tokens, removal_method)
    word_counts, pair_positions, _ = build_vocabulary(words, token_table)
    training = Training(token_table, word_counts, pair_positions, target_vocab_size, order_rng,
                        min_frequency, max_token_length)
    training.initial_pair_statistics()
    training.merge_loop()
    ranks, pairs_to_merge = training.derived_tables()
    return TrainingResult(
        id_to_token=list(token_table.id_to_token),
        merge_rules=list(training.merge_rules),
        ranks=ranks,
        pairs_to_merge=pairs_to_merge,
        target_not_reached=training.target_not_reached,
        order_sensitive_at=training.order_sensitive_at,
        words=words,
    )


def train(path, target_vocab_size: int, pre_tokenization: str = WHITESPACE,
          special_tokens: list[str] | None = None, removal_method: str = SIMPLE) -> TrainingResult:
    return train_text(read_corpus(path), target_vocab_size, pre_tokenization, special_tokens, removal_method)


def continue_spelled(id_to_token: list[str], merge_rules: list[tuple[int, int]], word_symbols: list[list[int]],
                     target_vocab_size: int, min_frequency: int = 0,
                     max_token_length: int | None = None) -> TrainingResult:
    """Training that goes on from a model: its vocabulary and merge rules taken as given, and the
    words (every occurrence) given as their starting spelling in that vocabulary."""
    token_table = TokenTable()
    for token in id_to_token:
        token_table.add_token(token)
    word_counts, pair_positions = count_spelled_words(word_symbols)
    training = Training(token_table, word_counts, pair_positions, target_vocab_size, None,
                        min_frequency, max_token_length)
    training.merge_rules = list(merge_rules)
    training.initial_pair_statistics()
    training.merge_loop()
    ranks, pairs_to_merge = training.derived_tables()
    return TrainingResult(
        id_to_token=list(token_table.id_to_token),
        merge_rules=list(training.merge_rules),
        ranks=ranks,
        pairs_to_merge=pairs_to_merge,
        target_not_reached=training.target_not_reached,
        order_sensitive_at=training.order_sensitive_at,
    )
