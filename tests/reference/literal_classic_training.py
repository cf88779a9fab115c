"""A literal Python model of training with `merge_all_occurrences` set: classic BPE merges.

Everything before and after the merge loop (special tokens, words, the vocabulary, the derived
tables) is the default training's, taken from literal_training. The loop follows its six steps
word for word, with a full recount of the pairs where the C++ loop updates them:

1. Pair counts: every adjacent pair of every word, weighted by the word's count.
2. The loop ends when the vocabulary is no longer below the target, checked before the first
   step and after every step.
3. Select the pair with the greatest count among those above zero whose token would have at
   most `max_token_length` characters (a final "</w>" not counted); ties go to the larger first
   id, then the larger second id. With no such pair, the loop stops (target not reached); when
   the selected pair's count is below `min_frequency`, it stops too.
4. The new token's text is the two texts joined; add_token gives its id (an existing text keeps
   its id); the pair is appended to the merge rules.
5. Every word holding the pair is rewritten left to right, replacing non-overlapping
   occurrences (x x x merged on (x, x) becomes N x); the counts equal a full recount afterwards.
6. The derived tables, as in the default training.
"""

from __future__ import annotations

from reference.literal_training import (
    SIMPLE,
    WHITESPACE,
    TokenTable,
    Training,
    TrainingResult,
    build_vocabulary,
    count_spelled_words,
    special_tokens_and_words,
    token_length,
)


def count_pairs(word_counts) -> dict[tuple[int, int], int]:
    counts: dict[tuple[int, int], int] = {}
    for word in word_counts:
        for i in range(len(word.symbols) - 1):
            pair = (word.symbols[i], word.symbols[i + 1])
            counts[pair] = counts.get(pair, 0) + word.count
    return counts


def rewrite(symbols: list[int], pair: tuple[int, int], new_id: int) -> list[int]:
    rewritten = []
    position = 0
    while position < len(symbols):
        if position + 1 < len(symbols) and (symbols[position], symbols[position + 1]) == pair:
            rewritten.append(new_id)
            position += 2
        else:
            rewritten.append(symbols[position])
            position += 1
    return rewritten


def classic_merge_loop(token_table: TokenTable, word_counts, target_vocab_size: int, min_frequency: int = 0,
                       max_token_length: int | None = None, merge_rules: tuple[tuple[int, int], ...] = ()):
    """Returns (merge_rules, target_not_reached); the rules follow those given."""
    merge_rules = list(merge_rules)
    pair_counts = count_pairs(word_counts)
    while len(token_table.id_to_token) < target_vocab_size:
        id_to_token = token_table.id_to_token
        candidates = [(count, a, b) for (a, b), count in pair_counts.items() if count > 0
                      and (max_token_length is None or token_length(id_to_token[a] + id_to_token[b]) <= max_token_length)]
        if not candidates:
            return merge_rules, True
        count, a, b = max(candidates)
        if count < min_frequency:
            return merge_rules, False
        new_id = token_table.add_token(id_to_token[a] + id_to_token[b])
        merge_rules.append((a, b))
        for word in word_counts:
            word.symbols = rewrite(word.symbols, (a, b), new_id)
        pair_counts = count_pairs(word_counts)
    return merge_rules, False


def train_text(text: str, target_vocab_size: int, pre_tokenization: str = WHITESPACE,
               special_tokens: list[str] | None = None, removal_method: str = SIMPLE, min_frequency: int = 0,
               max_token_length: int | None = None) -> TrainingResult:
    token_table, words = special_tokens_and_words(text, pre_tokenization, special_tokens, removal_method)
    word_counts, _, _ = build_vocabulary(words, token_table)
    merge_rules, target_not_reached = classic_merge_loop(token_table, word_counts, target_vocab_size,
                                                         min_frequency, max_token_length)
    derived = Training(token_table, word_counts, {}, target_vocab_size)
    derived.merge_rules = merge_rules
    ranks, pairs_to_merge = derived.derived_tables()
    return TrainingResult(
        id_to_token=list(token_table.id_to_token),
        merge_rules=merge_rules,
        ranks=ranks,
        pairs_to_merge=pairs_to_merge,
        target_not_reached=target_not_reached,
        words=words,
    )


def continue_spelled(id_to_token: list[str], merge_rules: list[tuple[int, int]], word_symbols: list[list[int]],
                     target_vocab_size: int, min_frequency: int = 0,
                     max_token_length: int | None = None) -> TrainingResult:
    """Training that goes on from a model: its vocabulary and merge rules taken as given, and the
    words (every occurrence) given as their starting spelling in that vocabulary."""
    token_table = TokenTable()
    for token in id_to_token:
        token_table.add_token(token)
    word_counts, _ = count_spelled_words(word_symbols)
    merge_rules, target_not_reached = classic_merge_loop(token_table, word_counts, target_vocab_size,
                                                         min_frequency, max_token_length, tuple(merge_rules))
    derived = Training(token_table, word_counts, {}, target_vocab_size)
    derived.merge_rules = merge_rules
    ranks, pairs_to_merge = derived.derived_tables()
    return TrainingResult(
        id_to_token=list(token_table.id_to_token),
        merge_rules=merge_rules,
        ranks=ranks,
        pairs_to_merge=pairs_to_merge,
        target_not_reached=target_not_reached,
    )
