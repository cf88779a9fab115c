"""Literal stand-ins for the extension's word-counting functions, until the extension has them.

The table is a pickled dict: word -> [count, (origin, word position)]. `train_from_word_counts`
cannot give a real tokenizer a model, so it keeps the last table for the tests to compare.
"""

import pickle

from distributed.diagnostics.plugin import WorkerPlugin

from reference.literal_training import pre_tokenize, remove_special_tokens

PRE_TOKENIZATIONS = ("whitespace", "punctuation")
REMOVAL_METHODS = ("simple", "aho_corasick")
last_table = []


def count_words(tokenizer, data, origin):
    from wrenmark import wrenmark as extension

    settings = extension._training_settings(tokenizer)
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise RuntimeError(f"stream did not contain valid UTF-8 at byte {error.start}") from None
    if settings["special_tokens"]:
        text = remove_special_tokens(text, settings["special_tokens"],
                                     REMOVAL_METHODS[settings["special_token_removal_method"]])
    table = {}
    for position, word in enumerate(pre_tokenize(text, PRE_TOKENIZATIONS[settings["pretokenization_type"]])):
        entry = table.setdefault(word, [0, (origin, position)])
        entry[0] += 1
    return pickle.dumps(table)


def merge_word_counts(tables):
    merged = {}
    for table in map(pickle.loads, tables):
        for word, (count, first) in table.items():
            entry = merged.setdefault(word, [0, first])
            entry[0] += count
            entry[1] = min(entry[1], first)
    return pickle.dumps(merged)


def train_from_word_counts(tokenizer, table):
    last_table.append(table)


def ordered_counts(table):
    """[(word, count)] in order of first occurrence."""
    entries = pickle.loads(table)
    return [(word, entries[word][0]) for word in sorted(entries, key=lambda word: entries[word][1])]


def install():
    from wrenmark import wrenmark as extension

    if hasattr(extension, "_count_words") and getattr(extension._count_words, "__module__", None) != __name__:
        return
    extension._count_words = count_words
    extension._merge_word_counts = merge_word_counts
    extension._train_from_word_counts = train_from_word_counts


class InstallStandIn(WorkerPlugin):
    def setup(self, worker):
        install()
