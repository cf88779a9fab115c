"""Encoding, decoding and the Encoder: worked examples, special-token splitting, token kinds,
decoding rules, and a differential test against the literal model of tests/reference."""

import random

import pytest
import wrenmark
from wrenmark import TokenType

from helpers import train_on_text, vocabulary
from reference import literal_encoding as literal

WORD, SUBWORD, SPECIAL = TokenType.WORD, TokenType.SUBWORD, TokenType.SPECIALTOKEN


def ids_of(tokenizer, tokens):
    return [tokenizer.get_id_by_token(token) for token in tokens]


# ---------------------------------------------------------------- worked example


@pytest.fixture
def low_lower(tmp_path):
    return train_on_text(tmp_path, "low lower low", 9)


def test_worked_example(low_lower):
    encoder = low_lower.encode("low lower")
    assert encoder.original_text == "low lower"
    assert encoder.ids == [8, 7, 3, 4, 5]
    assert encoder.tokens == ["low</w>", "low", "e", "r", "</w>"]
    assert encoder.token_types == [WORD, SUBWORD, SUBWORD, SUBWORD, SPECIAL]
    assert low_lower.decode(encoder.ids) == "low lower "


def test_empty_text(low_lower):
    encoder = low_lower.encode("")
    assert (encoder.original_text, encoder.tokens, encoder.ids, encoder.token_types) == ("", [], [], [])


def test_encoder_attributes_are_fresh_copies(low_lower):
    encoder = low_lower.encode("low lower")
    for name in ["tokens", "ids", "token_types"]:
        first = getattr(encoder, name)
        first.append(first[0])
        assert getattr(encoder, name) is not first
        assert len(getattr(encoder, name)) == 5
    assert encoder.token_types[0] is not encoder.token_types[0]


def test_get_token_type_answers_from_the_tokens_of_the_call(low_lower):
    encoder = low_lower.encode("low lower low")
    assert encoder.get_token_type("low</w>") == WORD
    assert encoder.get_token_type(token="low") == SUBWORD
    assert encoder.get_token_type("</w>") == SPECIAL
    with pytest.raises(RuntimeError) as raised:
        encoder.get_token_type("w")  # in the vocabulary, but not among the tokens
    assert str(raised.value) == "the token w does not exists"


def test_encoding_leaves_the_tokenizer_unchanged(low_lower):
    first = low_lower.encode("low lower lowlow")
    second = low_lower.encode("low lower lowlow")
    assert (first.tokens, first.ids, first.token_types) == (second.tokens, second.ids, second.token_types)
    assert repr(low_lower) == "BpeTokenizer(vocab_size=9)"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda t: t.encode("low"), "Cannot encode text without training the tokenizer"),
        (lambda t: t.decode([0]), "Cannot decode text without training the tokenizer"),
    ],
)
def test_untrained_tokenizer_refuses(call, message):
    tokenizer = wrenmark.BpeTokenizer("unused.txt", 10, wrenmark.PreTokenization.whitespace())
    with pytest.raises(RuntimeError) as raised:
        call(tokenizer)
    assert raised.value.args == (message,)


@pytest.mark.parametrize(
    "call, exception, message",
    [
        (lambda t: t.encode(b"low"), TypeError, "argument 'text': 'bytes' object cannot be converted to 'PyString'"),
        (lambda t: t.decode("abc"), TypeError, "argument 'ids': Can't extract `str` to `Vec`"),
        (lambda t: t.decode({1}), TypeError, "argument 'ids': 'set' object cannot be converted to 'Sequence'"),
        (lambda t: t.decode([1, 2**32]), OverflowError, "out of range integral type conversion attempted"),
        (lambda t: t.decode([-1]), OverflowError, None),
        (lambda t: t.decode([1.0]), TypeError, "argument 'ids': "),
    ],
)
def test_argument_conversion(low_lower, call, exception, message):
    with pytest.raises(exception) as raised:
        call(low_lower)
    if message is not None:
        assert str(raised.value).startswith(message)


def test_decode_accepts_any_sequence_of_integers(low_lower):
    assert low_lower.decode((8, 7)) == low_lower.decode([8, 7]) == "low low"
    assert low_lower.decode(bytes([8, 7])) == "low low"
    assert low_lower.decode(ids=range(3)) == "low"


def test_a_character_unseen_in_training_is_reported(low_lower):
    with pytest.raises(RuntimeError) as raised:
        low_lower.encode("low lozenge")
    assert str(raised.value) == "the id for token z does not exist"


# ---------------------------------------------------------------- special tokens


# The corpus holds every character used below; the target leaves no room for merges, so every
# word encodes as its characters and "</w>".
SPLIT_CORPUS = "a</w>b >é日 [X] x <s"


@pytest.mark.parametrize(
    "special_tokens, text, tokens",
    [
        (["<s>"], "a<s>b", ["a", "</w>", "<s>", "b", "</w>"]),
        (["<s>"], "<s>ab", ["<s>", "a", "b", "</w>"]),
        (["<s>"], "ab<s>", ["a", "b", "</w>", "<s>"]),
        (["<s>", "[X]"], "<s>[X]<s>", ["<s>", "[X]", "<s>"]),
        (["<s>"], "a <s> b", ["a", "</w>", "<s>", "b", "</w>"]),
        (["<s", "<s>"], "a<s>", ["a", "</w>", "<s", ">", "</w>"]),
        (["<s>", "<s"], "a<s>", ["a", "</w>", "<s>"]),
        (["<s>"], "é<s>日", ["é", "</w>", "<s>", "日", "</w>"]),
        (["日"], "é日é", ["é", "</w>", "日", "é", "</w>"]),
        (["", "<s>"], "a<s>b", ["a", "</w>", "<s>", "b", "</w>"]),
        (["</w>"], "a</w>b", ["a", "</w>", "</w>", "b", "</w>"]),
        (["<s>"], "x<s <s>", ["x", "<", "s", "</w>", "<s>"]),
    ],
)
def test_special_token_splitting(tmp_path, special_tokens, text, tokens):
    tokenizer = train_on_text(tmp_path, SPLIT_CORPUS, 0, special_tokens=special_tokens)
    encoder = tokenizer.encode(text)
    assert encoder.tokens == tokens
    assert encoder.ids == ids_of(tokenizer, tokens)
    specials = set(special_tokens) | {"</w>"}
    assert encoder.token_types == [SPECIAL if token in specials else SUBWORD for token in tokens]


def test_special_tokens_split_words_for_classification(tmp_path):
    tokenizer = train_on_text(tmp_path, "ab ab ab", 100, special_tokens=["<s>"])
    encoder = tokenizer.encode("ab<s>ab")
    assert encoder.tokens == ["ab</w>", "<s>", "ab</w>"]
    assert encoder.token_types == [WORD, SPECIAL, WORD]


# ---------------------------------------------------------------- token kinds


@pytest.fixture
def suffix_model(tmp_path):
    # Merges (b, </w>) and then (a, b</w>): "cab" ends with the token ab</w>.
    tokenizer = train_on_text(tmp_path, "ab ab ab ab cab", 6)
    assert vocabulary(tokenizer)[-1] == "ab</w>"
    return tokenizer


@pytest.mark.parametrize(
    "text, tokens, token_types",
    [
        ("cab", ["c", "ab</w>"], [SUBWORD, SUBWORD]),
        ("cab ab", ["c", "ab</w>", "ab</w>"], [SUBWORD, WORD, WORD]),
        ("ab cab", ["ab</w>", "c", "ab</w>"], [WORD, SUBWORD, WORD]),
        ("cab b", ["c", "ab</w>", "b</w>"], [SUBWORD, SUBWORD, WORD]),
        ("c", ["c", "</w>"], [SUBWORD, SPECIAL]),
    ],
)
def test_a_word_ending_is_a_word_when_any_word_of_the_call_equals_it(suffix_model, text, tokens, token_types):
    encoder = suffix_model.encode(text)
    assert encoder.tokens == tokens
    assert encoder.token_types == token_types


# ---------------------------------------------------------------- decoding


DECODE_CORPUS = "a</w>b <s>ab ab"


@pytest.mark.parametrize(
    "tokens, text",
    [
        ([], ""),
        (["</w>"], " "),
        (["a", "b"], "ab"),
        (["ab</w>", "ab</w>"], "ab ab "),
        (["<s>", "a"], "<s> a"),
        (["<", "/", "w", ">"], ""),
        (["a<", "/w", ">b"], "ab"),
        (["</", "w>b</w>"], "b "),
        (["a</w>b</w>"], "ab "),
        (["<s>", "</w>"], "<s>  "),
    ],
)
def test_decode(tmp_path, tokens, text):
    tokenizer = train_on_text(tmp_path, DECODE_CORPUS, 100, special_tokens=["<s>"])
    assert tokenizer.decode(ids_of(tokenizer, tokens)) == text


def test_decode_skips_ids_beyond_the_vocabulary(low_lower):
    assert low_lower.decode([8, 9, 2**32 - 1, 7, 1000]) == "low low"


# ---------------------------------------------------------------- the word cache


def test_results_do_not_depend_on_what_the_word_cache_holds(tmp_path):
    rng = random.Random(7)
    words = ["".join(rng.choice("abcdefgh") for _ in range(rng.randint(1, 9))) for _ in range(90_000)]
    corpus = " ".join(words[:3000])
    first = train_on_text(tmp_path, corpus, 400)
    second = train_on_text(tmp_path, corpus, 400)
    chunks = [" ".join(words[start:start + 10_000]) for start in range(0, len(words), 10_000)]

    whole = first.encode(" ".join(chunks))
    assert first.encode(" ".join(chunks)).ids == whole.ids
    in_reverse = [second.encode(chunk).ids for chunk in reversed(chunks)]
    assert [token_id for ids in reversed(in_reverse) for token_id in ids] == whole.ids


def full_encoding(encoder):
    return encoder.tokens, encoder.ids, encoder.token_types


@pytest.mark.parametrize(
    "texts",
    [
        # The cached "cab" ends with ab</w>, whose kind each call settles by its own words.
        ["cab", "cab ab", "cab", "ab cab", "cab b", "cab"],
        ["ab cab", "cab", "cab ab", "c", "cab c"],
        ["c c c", "c", "cab ab cab ab", "b cab"],
    ],
)
def test_cached_words_are_typed_by_the_words_of_each_call(suffix_model, tmp_path, texts):
    warm = [full_encoding(suffix_model.encode(text)) for text in texts]
    fresh = []
    for index, text in enumerate(texts):
        directory = tmp_path / f"fresh-{index}"
        directory.mkdir()
        fresh.append(full_encoding(train_on_text(directory, "ab ab ab ab cab", 6).encode(text)))
    assert warm == fresh


@pytest.fixture(scope="module")
def two_letter_model(tmp_path_factory):
    directory = tmp_path_factory.mktemp("two-letters")
    corpus = " ".join("a" * length + "b" + "a" * (length % 5) for length in range(40)) + " ab ba aab é"
    tokenizer = train_on_text(directory, corpus, 60, save_model=True, output_dir=str(directory / "model"))
    return tokenizer, literal.load_model_directory(directory / "model")


@pytest.mark.parametrize("length", [1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 24, 33, 40])
def test_cached_words_that_differ_in_one_byte_stay_apart(two_letter_model, length):
    # Words of one length that differ at one place, each twice in one call, so every lookup
    # after the first of each is a hit; a two-byte character moves the bytes of the rest.
    tokenizer, model = two_letter_model
    words = ["a" * length] + ["a" * place + "b" + "a" * (length - place - 1) for place in range(length)]
    words += ["é" + word[1:] for word in words]
    text = " ".join(words + words[::-1])
    encoder = tokenizer.encode(text)
    tokens, ids, token_types = literal.encode(model, text)
    assert (encoder.tokens, encoder.ids, [int(token_type) for token_type in encoder.token_types]) == (
        tokens, ids, token_types)


# Every kind of byte the scan stops at, one or more bytes long: ASCII blanks, a control byte that
# is no separator, punctuation, the lead byte of a multi-byte space and a letter sharing that
# lead byte ("\xa0" and "\x85" are spaces, "é" is not), three-byte spaces.
SEPARATOR_KINDS = [" ", "\t", "\n", "\x01", ".", ",", "\xa0", "\x85", "é", "\u3000", "\u2003", "\u2029"]


@pytest.fixture(scope="module", params=["whitespace", "punctuation"])
def separator_model(request, tmp_path_factory):
    directory = tmp_path_factory.mktemp(f"separators-{request.param}")
    corpus = " ".join(["ab", "ba", "aab", "abba"] + SEPARATOR_KINDS) * 5
    tokenizer = train_on_text(directory, corpus, 30, request.param, save_model=True,
                              output_dir=str(directory / "model"))
    return tokenizer, literal.load_model_directory(directory / "model")


@pytest.mark.parametrize("separator", SEPARATOR_KINDS)
def test_separators_split_alike_at_every_distance_from_the_end(separator_model, separator):
    # The scan reads sixteen bytes at a time and the last bytes of a text apart from them: a
    # separator at each place of texts of every length up to and past two such reads.
    tokenizer, model = separator_model
    for length in range(1, 42):
        for place in range(length):
            text = "".join(separator if index == place else "ab"[index % 2] for index in range(length))
            assert actual_encoding(tokenizer, text) == expected_encoding(model, text), repr(text)


def test_a_word_cache_that_fills_up_starts_again_with_the_same_results(tmp_path):
    # More distinct words than the cache keeps, so it is emptied during the call and after it.
    letters = "abcdefgh"
    words = ["".join(letters[(number >> shift) & 7] for shift in range(0, 18, 3)) for number in range(150_000)]
    random.Random(3).shuffle(words)
    corpus = " ".join(words[:4000])
    first = train_on_text(tmp_path, corpus, 300)
    second = train_on_text(tmp_path, corpus, 300)
    text = " ".join(words + words[:20_000])

    whole = full_encoding(first.encode(text))
    assert full_encoding(first.encode(text)) == whole
    chunks = [" ".join(words[start:start + 30_000]) for start in range(0, len(words), 30_000)]
    in_reverse = [full_encoding(second.encode(chunk)) for chunk in reversed(chunks)]
    joined = [[item for encoding in reversed(in_reverse) for item in encoding[part]] for part in range(3)]
    expected = full_encoding(first.encode(" ".join(words)))
    assert tuple(joined) == expected


# ---------------------------------------------------------------- differential test


PROFILES = [
    ("ab", " "),
    ("abc", " \n"),
    ("aab", " "),
    ("ab.,!", " "),
    ("aé日😀", " \u00a0\t"),
]
SPECIAL_TOKEN_POOL = ["", "</w>", "<s>", "[X]", "a", "ab", "ba", "é日", "<s>x"]
UNSEEN_CHARACTER = "z"


def random_word(rng, characters, lexicon, length):
    if lexicon and rng.random() < 0.6:
        pieces = []
        while sum(map(len, pieces)) < length:
            pieces.append(rng.choice(lexicon))
        return "".join(pieces)
    return "".join(rng.choice(characters) for _ in range(length))


def random_corpus(rng, characters, separators):
    lexicon = [random_word(rng, characters, [], rng.randint(1, 6)) for _ in range(rng.randint(1, 8))]
    pieces = []
    for _ in range(rng.randint(1, 40)):
        pieces.append(rng.choice(lexicon) if rng.random() < 0.7 else random_word(rng, characters, [], 3))
        pieces.append(rng.choice(separators))
    return "".join(pieces), lexicon


def random_text(rng, characters, separators, lexicon, special_tokens, long_word_length=0):
    pieces = []
    for _ in range(rng.randint(0, 14)):
        kind = rng.random()
        if kind < 0.15 and special_tokens:
            pieces.append(rng.choice(special_tokens))
        elif kind < 0.35:
            pieces.append(rng.choice(separators))
        elif kind < 0.42:
            pieces.append(random_word(rng, characters, lexicon, rng.randint(33, 300)))
        else:
            pieces.append(random_word(rng, characters, lexicon, rng.randint(1, 8)))
    if long_word_length:
        pieces.insert(rng.randint(0, len(pieces)), random_word(rng, characters, lexicon, long_word_length))
    if rng.random() < 0.03:
        pieces.append(UNSEEN_CHARACTER)
    return "".join(pieces)


def trained_case(rng, directory):
    """A tokenizer trained by wrenmark on a generated corpus, and its saved model as literal data."""
    characters, separators = rng.choice(PROFILES)
    corpus, lexicon = random_corpus(rng, characters, separators)
    special_tokens = rng.sample(SPECIAL_TOKEN_POOL, rng.randint(0, 3))
    pre_tokenization = rng.choice(["whitespace", "punctuation"])
    directory.mkdir()
    tokenizer = train_on_text(directory, corpus, rng.randint(0, 60), pre_tokenization, special_tokens,
                              save_model=True, output_dir=str(directory / "model"))
    model = literal.load_model_directory(directory / "model")
    assert model.id_to_token == vocabulary(tokenizer)
    return tokenizer, model, characters, separators, lexicon


def expected_encoding(model, text):
    try:
        return literal.encode(model, text)
    except literal.MissingToken as missing:
        return str(missing)


def actual_encoding(tokenizer, text):
    try:
        encoder = tokenizer.encode(text)
    except RuntimeError as error:
        return str(error)
    assert encoder.original_text == text
    return encoder.tokens, encoder.ids, [int(token_type) for token_type in encoder.token_types]


def check_against_literal(tokenizer, model, text, rng, case):
    expected = expected_encoding(model, text)
    assert actual_encoding(tokenizer, text) == expected, f"{case}: encode({text[:200]!r})"
    if isinstance(expected, tuple):
        assert tokenizer.decode(expected[1]) == literal.decode(model, expected[1]), case
    ids = [rng.randrange(len(model.id_to_token) + 3) for _ in range(rng.randint(0, 12))]
    assert tokenizer.decode(ids) == literal.decode(model, ids), f"{case}: decode({ids})"


@pytest.mark.parametrize("seed", range(6))
def test_trained_models_encode_and_decode_as_the_literal_model(tmp_path, seed):
    rng = random.Random(seed)
    for case in range(30):
        tokenizer, model, characters, separators, lexicon = trained_case(rng, tmp_path / f"case{case}")
        for _ in range(8):
            text = random_text(rng, characters, separators, lexicon, model.special_tokens)
            check_against_literal(tokenizer, model, text, rng, f"seed {seed} case {case}")


@pytest.mark.parametrize("seed", range(3))
def test_long_words_merge_as_the_literal_model(tmp_path, seed):
    rng = random.Random(1000 + seed)
    tokenizer, model, characters, separators, lexicon = trained_case(rng, tmp_path / "case")
    while not model.ranks:
        tokenizer, model, characters, separators, lexicon = trained_case(rng, tmp_path / f"case{rng.random()}")
    text = random_text(rng, characters, separators, lexicon, model.special_tokens, rng.randint(10_000, 14_000))
    check_against_literal(tokenizer, model, text.replace(UNSEEN_CHARACTER, ""), rng, f"seed {seed}")


# ---------------------------------------------------------------- loaded, inconsistent models


needs_loading = pytest.mark.skipif(
    not hasattr(wrenmark.BpeTokenizer, "from_pretrained"), reason="loading a model directory is not built yet"
)


def random_inconsistent_model(rng):
    """A model as a loaded directory may hold it: repeated ranks, pairs without a merged token,
    merged ids beyond the vocabulary or with unrelated text, ranked pairs of unknown ids."""
    special_tokens = rng.sample(SPECIAL_TOKEN_POOL, rng.randint(0, 3))
    id_to_token, token_to_id = [], {}

    def add(token):
        if token not in token_to_id:
            token_to_id[token] = len(id_to_token)
            id_to_token.append(token)
        return token_to_id[token]

    for token in special_tokens:
        if rng.random() < 0.7:  # a special token may be missing from the vocabulary
            add(token)
    characters = rng.sample(list("abcé日<>/w."), rng.randint(3, 8))
    for character in characters:
        add(character)
    add("</w>")
    ranks, pairs_to_merge = {}, {}
    for step in range(rng.randint(0, 50)):
        limit = len(id_to_token) if rng.random() < 0.5 else min(len(id_to_token), len(special_tokens) + 4)
        pair = (rng.randrange(limit), rng.randrange(limit))
        ranks[pair] = step
        pairs_to_merge[pair] = add(id_to_token[pair[0]] + id_to_token[pair[1]])
    pairs = list(ranks)
    for _ in range(rng.randint(0, 20) if pairs else 0):
        pair = rng.choice(pairs)
        change = rng.randrange(6)
        if change == 0:
            ranks[pair] = ranks[rng.choice(pairs)]
        elif change == 1:
            pairs_to_merge.pop(pair, None)
        elif change == 2:
            pairs_to_merge[pair] = len(id_to_token) + rng.randrange(3)
        elif change == 3:
            pairs_to_merge[pair] = rng.randrange(len(id_to_token))
        elif change == 4:
            ranks[(rng.randrange(len(id_to_token) + 3), rng.randrange(len(id_to_token)))] = rng.randrange(60)
        else:
            ranks[pair] = rng.randrange(5)
    if rng.random() < 0.1:
        del token_to_id[rng.choice(characters)]
    if rng.random() < 0.05:
        del token_to_id["</w>"]
    pre_tokenization = rng.choice(["Whitespace", "Punctuation"])
    model = literal.Model(id_to_token, token_to_id, ranks, pairs_to_merge, special_tokens, pre_tokenization)
    return model, characters


@needs_loading
@pytest.mark.parametrize("seed", range(4))
def test_loaded_inconsistent_models_encode_as_the_literal_model(tmp_path, seed):
    rng = random.Random(2000 + seed)
    for case in range(40):
        model, characters = random_inconsistent_model(rng)
        directory = tmp_path / f"model{case}"
        literal.write_model_directory(model, directory)
        tokenizer = wrenmark.BpeTokenizer.from_pretrained(str(directory))
        lexicon = ["".join(rng.choice(characters) for _ in range(3)) for _ in range(4)]
        for index in range(8):
            text = random_text(rng, characters, [" ", "\t"], lexicon, model.special_tokens,
                               2_000 if index == 0 else 0)
            check_against_literal(tokenizer, model, text, rng, f"seed {seed} case {case}")


@needs_loading
@pytest.mark.parametrize(
    "change, text, expected",
    [
        ("drop_end_of_word", "ab", "the id for token </w> does not exist"),
        ("drop_end_of_word", "", "the id for token </w> does not exist"),
        ("drop_special_token", "a<s>b", (["a", "</w>", "b", "</w>"], [0, 2, 1, 2], [1, 2, 1, 2])),
    ],
)
def test_loaded_model_faults(tmp_path, change, text, expected):
    model = literal.Model(["a", "b", "</w>", "<s>"], {"a": 0, "b": 1, "</w>": 2, "<s>": 3}, {}, {}, ["<s>"],
                          "Whitespace")
    if change == "drop_end_of_word":
        del model.token_to_id["</w>"]
    else:
        del model.token_to_id["<s>"]
    literal.write_model_directory(model, tmp_path)
    tokenizer = wrenmark.BpeTokenizer.from_pretrained(str(tmp_path))
    assert expected_encoding(model, text) == expected
    assert actual_encoding(tokenizer, text) == expected
