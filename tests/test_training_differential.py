"""Trains wrenmark and the literal Python model on many generated corpora and
compares the whole vocabulary, id by id.

The corpora are small and drawn from tiny alphabets so that runs of one
character, ties between pairs, merges onto existing tokens, re-merged pairs
and merges of pairs whose count fell to 0 all happen often. A failing case is
shrunk before it is reported.
"""

import random
import re
from dataclasses import dataclass
from pathlib import Path

import pytest
import wrenmark

from reference.literal_training import (
    AHO_CORASICK,
    END_OF_WORD,
    PUNCTUATION,
    SIMPLE,
    WHITESPACE,
    train_text,
)

PRE_TOKENIZATIONS = {
    WHITESPACE: wrenmark.PreTokenization.whitespace,
    PUNCTUATION: wrenmark.PreTokenization.punctuation,
}
REMOVAL_METHODS = {
    SIMPLE: wrenmark.SpecialTokenRemovalMethod.simple,
    AHO_CORASICK: wrenmark.SpecialTokenRemovalMethod.aho_corasick,
}

# name: (word characters, separators)
PROFILES = {
    "ab": ("ab", " "),
    "abc": ("abc", " \n"),
    "aab": ("aab", " "),
    "punctuation": ("aab.,!'-", " "),
    "non_ascii": ("aé日😀ß", " \u00a0\t"),
    "odd_spaces": ("ab'\u200b\u001c\ufeff\x00", "\t\n\r\u00a0\u3000\u2028 "),
}
CORPORA_PER_COMBINATION = 16


@dataclass
class Case:
    text: str
    target: int
    pre_tokenization: str
    special_tokens: list
    removal_method: str

    def __str__(self):
        return (f"text={self.text!r} target={self.target} {self.pre_tokenization} "
                f"special_tokens={self.special_tokens!r} {self.removal_method}")


def random_word(rng, characters):
    word = []
    for _ in range(rng.randint(1, 5)):
        word.append(rng.choice(characters) * (rng.randint(2, 4) if rng.random() < 0.25 else 1))
    return "".join(word)


def random_corpus(rng, characters, separators):
    if rng.random() < 0.5:
        # Few distinct words, many repeats: high counts and ties.
        lexicon = [random_word(rng, characters) for _ in range(rng.randint(1, 5))]
        pieces = []
        for _ in range(rng.randint(0, 25)):
            pieces.append(rng.choice(lexicon))
            pieces.append(rng.choice(separators) * rng.randint(1, 2))
        return "".join(pieces)
    pieces = []
    for _ in range(rng.randint(0, 40)):
        if rng.random() < 0.2:
            pieces.append(rng.choice(separators))
        else:
            pieces.append(rng.choice(characters) * (rng.randint(2, 5) if rng.random() < 0.2 else 1))
    return "".join(pieces)


def random_special_tokens(rng, text, characters, separators):
    if rng.random() < 0.3:
        return []
    tokens = []
    for _ in range(rng.randint(1, 4)):
        kind = rng.randrange(7)
        if kind == 0:
            tokens.append("")
        elif kind == 1:
            tokens.append(END_OF_WORD)
        elif kind == 2:
            tokens.append(rng.choice(characters))
        elif kind == 3 and len(text) >= 2:
            start = rng.randrange(len(text) - 1)
            tokens.append(text[start:start + rng.randint(2, 4)])
        elif kind == 4 and tokens:
            tokens.append(rng.choice(tokens))
        elif kind == 5:
            tokens.append(rng.choice(characters) + rng.choice(separators) + rng.choice(characters))
        else:
            tokens.append("".join(rng.choice(characters) for _ in range(rng.randint(2, 3))))
    return tokens


def train_wrenmark(directory: Path, case: Case) -> list:
    corpus = directory / "corpus.txt"
    corpus.write_bytes(case.text.encode("utf-8"))
    tokenizer = wrenmark.BpeTokenizer(
        str(corpus), case.target, PRE_TOKENIZATIONS[case.pre_tokenization](),
        case.special_tokens, REMOVAL_METHODS[case.removal_method]())
    tokenizer.train()
    size = int(re.search(r"vocab_size=(\d+)", repr(tokenizer)).group(1))
    return [tokenizer.get_token_by_id(i) for i in range(size)]


def train_model(case: Case):
    return train_text(case.text, case.target, case.pre_tokenization, case.special_tokens, case.removal_method)


def first_difference(directory: Path, case: Case):
    """None when both sides agree, otherwise (first differing id, description).

    Beyond a merge step whose result depends on the order in which an
    occurrence set is visited, only the tokens up to that step are compared.
    """
    expected = train_model(case)
    try:
        actual = train_wrenmark(directory, case)
    except Exception as error:  # a refusal is a difference like any other, and is shrunk too
        return 0, f"wrenmark raised {type(error).__name__}: {error}"
    limit = expected.order_sensitive_at
    expected_tokens = expected.id_to_token[:limit]
    actual_tokens = actual[:limit]
    if actual_tokens == expected_tokens:
        return None
    index = next((i for i, (e, a) in enumerate(zip(expected_tokens, actual_tokens)) if e != a),
                 min(len(expected_tokens), len(actual_tokens)))
    return index, (f"first difference at id {index}: model {expected_tokens[index:index + 3]!r}, "
                   f"wrenmark {actual_tokens[index:index + 3]!r}; sizes {len(expected.id_to_token)} and {len(actual)}")


def shrink(directory: Path, case: Case) -> Case:
    """Greedily lowers the target and drops special tokens and characters of
    the text and of the tokens while some difference stays."""
    changed = True
    while changed:
        changed = False
        index, _ = first_difference(directory, case)
        candidates = [Case(case.text, target, case.pre_tokenization, case.special_tokens, case.removal_method)
                      for target in (0, index + 1) if target < case.target]
        candidates += [Case(case.text, case.target, case.pre_tokenization,
                           case.special_tokens[:i] + case.special_tokens[i + 1:], case.removal_method)
                      for i in range(len(case.special_tokens))]
        candidates += [Case(case.text, case.target, case.pre_tokenization,
                            case.special_tokens[:i] + [token[:j] + token[j + 1:]] + case.special_tokens[i + 1:],
                            case.removal_method)
                       for i, token in enumerate(case.special_tokens) for j in range(len(token))]
        candidates += [Case(case.text[:i] + case.text[i + 1:], case.target, case.pre_tokenization,
                            case.special_tokens, case.removal_method)
                       for i in range(len(case.text))]
        for candidate in candidates:
            if first_difference(directory, candidate) is not None:
                case = candidate
                changed = True
                break
    return case


def pick_targets(rng, case: Case):
    base = len(train_model(Case(case.text, 0, case.pre_tokenization, case.special_tokens, case.removal_method)).id_to_token)
    full = len(train_model(Case(case.text, 1 << 40, case.pre_tokenization, case.special_tokens, case.removal_method)).id_to_token)
    targets = {0, max(base - 1, 0), base, base + 1, rng.randint(base, full), full, full + 1, full + 50}
    chosen = rng.sample(sorted(targets), 2)
    if rng.random() < 0.3:
        chosen.append((1 << 64) - 1)
    return chosen


def generated_cases(seed, profile, pre_tokenization, removal_method, targets=None,
                    corpora=CORPORA_PER_COMBINATION):
    """`corpora` generated corpora, each trained to every target that `targets(rng, case)` picks."""
    targets = targets or pick_targets
    rng = random.Random(seed)
    characters, separators = PROFILES[profile]
    for _ in range(corpora):
        text = random_corpus(rng, characters, separators)
        special_tokens = random_special_tokens(rng, text, characters, separators)
        case = Case(text, 0, pre_tokenization, special_tokens, removal_method)
        for target in targets(rng, case):
            yield Case(text, target, pre_tokenization, special_tokens, removal_method)


@pytest.mark.parametrize("removal_method", [SIMPLE, AHO_CORASICK])
@pytest.mark.parametrize("pre_tokenization", [WHITESPACE, PUNCTUATION])
@pytest.mark.parametrize("profile", sorted(PROFILES))
def test_generated_corpora(tmp_path, profile, pre_tokenization, removal_method):
    seed = f"{profile}/{pre_tokenization}/{removal_method}"
    for case in generated_cases(seed, profile, pre_tokenization, removal_method):
        difference = first_difference(tmp_path, case)
        if difference is not None:
            smallest = shrink(tmp_path, case)
            pytest.fail(f"{case}\n{difference[1]}\nsmallest differing case: {smallest}\n"
                        f"{first_difference(tmp_path, smallest)[1]}")


def real_text():
    for folder in (Path("/usr/share/common-licenses"), Path("/usr/share/dict")):
        if folder.is_dir():
            files = sorted(path for path in folder.iterdir() if path.is_file())
            text = "\n".join(path.read_bytes().decode("utf-8", errors="replace") for path in files)
            if len(text) > 100_000:
                return text[:300_000]
    return None


@pytest.mark.parametrize(
    "pre_tokenization, special_tokens, removal_method",
    [
        (WHITESPACE, [], SIMPLE),
        (PUNCTUATION, ["the", "GNU", "License", "e ", "</w>"], AHO_CORASICK),
        (PUNCTUATION, ["the", "he", "License", "e "], SIMPLE),
    ],
)
def test_real_text(tmp_path, pre_tokenization, special_tokens, removal_method):
    text = real_text()
    if text is None:
        pytest.skip("no sizeable text files on this system")
    difference = first_difference(tmp_path, Case(text, 1500, pre_tokenization, special_tokens, removal_method))
    assert difference is None, difference[1]


@pytest.mark.parametrize("removal_method", [SIMPLE, AHO_CORASICK])
@pytest.mark.parametrize("special_tokens", [["\x00"], ["\x00b"], ["b", "\x00a"], ["a\x00"]])
def test_special_tokens_with_nul_characters(tmp_path, special_tokens, removal_method):
    case = Case("ab a\x00b \x00\x00a b\x00", 100, WHITESPACE, special_tokens, removal_method)
    difference = first_difference(tmp_path, case)
    assert difference is None, difference[1]


def many_word_corpus(seed):
    """Thousands of distinct words whose characters keep appearing for the first time far into
    the word list (so that the vocabulary builder's ranges each meet some first), with long words
    of more than 256 characters scattered among them."""
    rng = random.Random(seed)
    alphabet = [chr(code) for code in
                list(range(0x61, 0x7B)) + list(range(0xE0, 0x100)) + list(range(0x3B1, 0x3CA)) +
                list(range(0x4E00, 0x4E40)) + [0x1F600 + i for i in range(16)]]
    words = []
    for index in range(3000):
        # Word i draws from the first characters of the alphabet, more of them as i grows.
        known = alphabet[:2 + index * len(alphabet) // 3000]
        length = rng.randint(300, 400) if rng.random() < 0.01 else rng.randint(1, 8)
        words.append("".join(rng.choice(known[-6:] if rng.random() < 0.3 else known) for _ in range(length)))
    return " ".join(words + rng.choices(words, k=2000))


@pytest.mark.parametrize("seed", range(3))
def test_many_distinct_words_and_late_characters(tmp_path, seed):
    text = many_word_corpus(seed)
    alphabet_size = len(set(text) - {" "})
    difference = first_difference(tmp_path, Case(text, alphabet_size + 200, WHITESPACE, [], SIMPLE))
    assert difference is None, difference[1]
