"""Pickling and copying: BpeTokenizer and Encoder through pickle, copy and process pools."""

import concurrent.futures
import copy
import functools
import inspect
import json
import multiprocessing
import pickle
import struct
import sys

import pytest

import wrenmark
from helpers import train_on_text
from wrenmark import BpeTokenizer, PreTokenization, SpecialTokenRemovalMethod

extension = sys.modules["wrenmark.wrenmark"]

CORPUS = "low lower lowest <s> new newer [SEP] newest wide wider é日本\n" * 8
TEXTS = ["lowest newer", "wide <s> low", "日本 é [SEP] wider", ""]

# Models: (pre-tokenization, special tokens, removal method, settings set after construction).
MODELS = {
    "default": ("whitespace", [], "simple", {}),
    "classic": ("punctuation", ["<s>"], "aho_corasick", {"merge_all_occurrences": True}),
    "unknown-token": ("whitespace", ["<s>", "[SEP]"], "simple", {"unknown_token": "[SEP]"}),
    "process-settings": ("whitespace", ["<s>"], "aho_corasick", {"show_progress": True}),
}


def attributes(tokenizer):
    """Every attribute of the type, enums by name, and the constructor's settings."""
    values = {}
    for name, _ in inspect.getmembers(BpeTokenizer, inspect.isgetsetdescriptor):
        value = getattr(tokenizer, name)
        values[name] = getattr(value, "name", value)
    values.update(extension._training_settings(tokenizer))
    return values


def behaviour(tokenizer):
    """What the tokenizer does: its vocabulary and its encodings and decodings of TEXTS."""
    encodings = [(e.ids, e.tokens, list(map(repr, e.token_types))) for e in map(tokenizer.encode, TEXTS)]
    return [tokenizer.get_token_by_id(i) for i in range(tokenizer.vocab_size)], encodings, [
        tokenizer.decode(ids) for ids, _, _ in encodings]


def saved_files(tokenizer, directory):
    tokenizer.save(str(directory))
    return {path.name: path.read_bytes() for path in sorted(directory.iterdir())}


def make_tokenizer(tmp_path, model, trained=True, **constructor):
    pre_tokenization, special_tokens, method, settings = MODELS[model]
    if trained:
        tokenizer = train_on_text(tmp_path, CORPUS, 40, pre_tokenization, special_tokens, method, **constructor)
    else:
        tokenizer = BpeTokenizer(str(tmp_path / "corpus.txt"), 40, getattr(PreTokenization, pre_tokenization)(),
                                 special_tokens, getattr(SpecialTokenRemovalMethod, method)(), **constructor)
    for name, value in settings.items():
        setattr(tokenizer, name, value)
    return tokenizer


@pytest.mark.parametrize("protocol", [0, 2, pickle.DEFAULT_PROTOCOL, pickle.HIGHEST_PROTOCOL])
@pytest.mark.parametrize("model", MODELS)
def test_a_trained_tokenizer_round_trips_with_its_settings_and_model(tmp_path, model, protocol):
    tokenizer = make_tokenizer(tmp_path, model, save_model=True, output_dir=str(tmp_path / "out dir" / "é"))
    restored = pickle.loads(pickle.dumps(tokenizer, protocol))
    assert type(restored) is BpeTokenizer
    assert attributes(restored) == attributes(tokenizer)
    assert behaviour(restored) == behaviour(tokenizer)
    assert saved_files(restored, tmp_path / "a") == saved_files(tokenizer, tmp_path / "b")
    assert pickle.dumps(restored, protocol) == pickle.dumps(tokenizer, protocol)


@pytest.mark.parametrize("model", MODELS)
def test_an_untrained_tokenizer_round_trips_and_trains_as_the_original(tmp_path, model):
    (tmp_path / "corpus.txt").write_text(CORPUS, encoding="utf-8")
    tokenizer = make_tokenizer(tmp_path, model, trained=False)
    restored = pickle.loads(pickle.dumps(tokenizer))
    assert attributes(restored) == attributes(tokenizer)
    assert restored.vocab_size == 0
    restored.train()
    tokenizer.train()
    assert behaviour(restored) == behaviour(tokenizer)


# Values other than the defaults for the attributes that are neither bool nor None by default.
OTHER_VALUES = {"dropout": 0.25, "dropout_seed": 2**64 - 1, "min_frequency": 3, "max_token_length": 4}


def test_every_writable_attribute_is_carried(tmp_path):
    tokenizer = make_tokenizer(tmp_path, "unknown-token")
    tokenizer.unknown_token = None
    changed = []
    for name, _ in inspect.getmembers(BpeTokenizer, inspect.isgetsetdescriptor):
        value = getattr(tokenizer, name)
        try:
            setattr(tokenizer, name, value)
        except AttributeError:
            continue  # read-only: the constructor's, covered by _training_settings
        if name == "byte_fallback":
            continue  # excludes the unknown token set below; carried as config.json is
        if name in OTHER_VALUES:
            setattr(tokenizer, name, OTHER_VALUES[name])
        elif isinstance(value, bool):
            setattr(tokenizer, name, not value)
        elif value is None:
            setattr(tokenizer, name, "<s>")
        else:
            pytest.fail(f"no other value known for the attribute {name}: add one here")
        changed.append(name)
    assert set(changed) >= {"show_progress", "merge_all_occurrences", "unknown_token"}
    assert set(changed) >= set(OTHER_VALUES)
    assert attributes(pickle.loads(pickle.dumps(tokenizer))) == attributes(tokenizer)


def test_a_loaded_model_that_disagrees_with_itself_round_trips(tmp_path):
    make_tokenizer(tmp_path, "default").save(str(tmp_path / "model"))
    table_path = tmp_path / "model" / "token_table.json"
    table = json.loads(table_path.read_text(encoding="utf-8"))
    table["token_to_id"]["extra"] = 3
    table["token_to_id"]["low</w>"] = 0
    table_path.write_text(json.dumps(table), encoding="utf-8")
    ranks_path = tmp_path / "model" / "save_ranks.json"
    ranks = json.loads(ranks_path.read_text(encoding="utf-8"))
    ranks["1_2"] = 2**40
    ranks_path.write_text(json.dumps(ranks), encoding="utf-8")
    loaded = BpeTokenizer.from_pretrained(str(tmp_path / "model"))

    restored = pickle.loads(pickle.dumps(loaded))
    assert restored.get_id_by_token("extra") == 3
    assert behaviour(restored) == behaviour(loaded)
    assert saved_files(restored, tmp_path / "a") == saved_files(loaded, tmp_path / "b")
    assert pickle.dumps(restored) == pickle.dumps(loaded)


def test_equal_tokenizers_give_equal_bytes(tmp_path):
    first = make_tokenizer(tmp_path, "classic")
    second = make_tokenizer(tmp_path, "classic")
    assert pickle.dumps(first) == pickle.dumps(second)
    assert pickle.dumps(copy.deepcopy(second)) == pickle.dumps(second)
    second.show_progress = True
    assert pickle.dumps(first) != pickle.dumps(second)


def test_copies_are_equal_and_independent(tmp_path):
    tokenizer = make_tokenizer(tmp_path, "unknown-token")
    for duplicate in [copy.copy(tokenizer), copy.deepcopy(tokenizer), copy.deepcopy([tokenizer, tokenizer])[1]]:
        assert duplicate is not tokenizer
        assert attributes(duplicate) == attributes(tokenizer)
        assert behaviour(duplicate) == behaviour(tokenizer)
        duplicate.unknown_token = None
        assert tokenizer.unknown_token == "[SEP]"
    pair = copy.deepcopy([tokenizer, tokenizer])
    assert pair[0] is pair[1]


def test_the_pickle_names_a_private_function_of_the_extension(tmp_path):
    data = pickle.dumps(make_tokenizer(tmp_path, "default"))
    assert b"wrenmark.wrenmark" in data and b"_tokenizer_from_state" in data
    assert [name for name in vars(wrenmark) if not name.startswith("_")] == wrenmark.__all__


# ---------------------------------------------------------------------------------------------
# Bad bytes: the state is "WMTK", u32 version, three sections (settings.json, config.json, the
# model after a trained flag) and a checksum, which these tests recompute to reach the checks
# behind it.

_MASK = 2**64 - 1


def checksum(data: bytes) -> int:
    multiplier = 0xA0761D6478BD642F
    state = 0x9E3779B97F4A7C15 ^ len(data)
    whole = len(data) // 8 * 8
    for start in range(0, whole, 8):
        product = (state ^ int.from_bytes(data[start:start + 8], "little")) * multiplier
        state = (product & _MASK) ^ (product >> 64)
    product = (state ^ int.from_bytes(data[whole:], "little") ^ 0xE7037ED1A0B428DB) * multiplier
    return (product & _MASK) ^ (product >> 64)


def state_of(tokenizer) -> bytes:
    function, (state,) = tokenizer.__reduce__()
    assert function is extension._tokenizer_from_state
    return state


def split_state(state: bytes):
    position = 8
    sections = []
    for _ in range(2):
        (size,) = struct.unpack_from("<Q", state, position)
        sections.append(state[position + 8:position + 8 + size])
        position += 8 + size
    model = None
    if state[position] == 1:
        (size,) = struct.unpack_from("<Q", state, position + 1)
        model = state[position + 9:position + 9 + size]
    return state[4:8], sections[0], sections[1], model


def forge(version=b"\x01\x00\x00\x00", settings=b"{}", config=b"", model=None, tail=b""):
    body = b"WMTK" + version
    for section in (settings, config):
        body += struct.pack("<Q", len(section)) + section
    body += b"\x00" if model is None else b"\x01" + struct.pack("<Q", len(model)) + model
    body += tail
    return body + struct.pack("<Q", checksum(body))


def test_the_forged_state_of_the_tests_is_the_real_layout(tmp_path):
    state = state_of(make_tokenizer(tmp_path, "unknown-token"))
    version, settings, config, model = split_state(state)
    assert forge(version, settings, config, model) == state


def test_truncated_pickles_and_states_are_refused(tmp_path):
    tokenizer = make_tokenizer(tmp_path, "unknown-token")
    data = pickle.dumps(tokenizer)
    state = state_of(tokenizer)
    for cut in sorted(set(range(0, len(data), 7)) | {len(data) - 1}):
        with pytest.raises((pickle.UnpicklingError, EOFError)):
            pickle.loads(data[:cut])
    for cut in sorted(set(range(0, len(state), 5)) | {len(state) - 1}):
        with pytest.raises(RuntimeError, match="invalid tokenizer state"):
            extension._tokenizer_from_state(state[:cut])


def test_every_altered_byte_of_a_state_is_refused(tmp_path):
    state = state_of(make_tokenizer(tmp_path, "classic"))
    for position in range(len(state)):
        altered = bytearray(state)
        altered[position] ^= 0x01 if position % 2 else 0x80
        with pytest.raises(RuntimeError, match="invalid tokenizer state"):
            extension._tokenizer_from_state(bytes(altered))


@pytest.mark.parametrize("change, message", [
    ({"version": b"\x02\x00\x00\x00"}, "format version 2, this release reads version 1"),
    ({"tail": b"x"}, "trailing bytes"),
    ({"settings": b"[1"}, "settings.json"),
    ({"settings": b'{"show_progress": 1}'}, "settings.json"),
    ({"config": b'{"target_vocab_size": 1}'}, "config.json"),
    ({"config": b'{"target_vocab_size": 1, "pre_tokenizer": "Whitespace", "special_tokens": [], '
                b'"special_token_removal_method": "Simple", "unknown_token": "?"}'}, "not one of the special"),
    ({"model": b""}, "malformed"),
    ({"model": b"\x01\x01\xc3\x00\x00" + b"\x00" * 4}, "malformed tokens"),
    ({"model": b"\x02\x01\x01aa\x01"}, "a token repeats"),
    ({"model": b"\x01\x01a\x01\x01\x80\x80\x80\x80\x10\x00"}, "malformed merge rule"),
    ({"model": b"\x01\x01a\x01\x00\x01\x00\x00"}, "malformed ranks"),
    ({"model": b"\x01\x01a\x01\x00\x00\x00\x00"}, "trailing bytes after the model"),
])
def test_forged_states_name_their_fault(tmp_path, change, message):
    _, settings, config, model = split_state(state_of(make_tokenizer(tmp_path, "default")))
    parts = {"settings": settings, "config": config, "model": model, **change}
    with pytest.raises(RuntimeError, match=message):
        extension._tokenizer_from_state(forge(**parts))


def test_a_forged_state_with_a_valid_model_loads(tmp_path):
    _, settings, config, _ = split_state(state_of(make_tokenizer(tmp_path, "default")))
    # Tokens "a", "b", "ab", one to one; the rule (0, 1); ranks {(0, 1): 0}; pairs {(0, 1): 2}.
    model = b"\x03\x01\x01\x02" + b"abab" + b"\x01" + b"\x01\x00\x01" + b"\x01\x00\x01\x00" + b"\x01\x00\x01\x02"
    tokenizer = extension._tokenizer_from_state(forge(settings=settings, config=config, model=model))
    assert (tokenizer.vocab_size, tokenizer.merge_count, tokenizer.get_id_by_token("ab")) == (3, 1, 2)


@pytest.mark.parametrize("argument, error", [("text", TypeError), (None, TypeError), (bytearray(b"WMTK"), TypeError),
                                             (b"", RuntimeError), (b"\x80\x04K\x01.", RuntimeError)])
def test_foreign_states_are_refused(argument, error):
    with pytest.raises(error):
        extension._tokenizer_from_state(argument)


# ---------------------------------------------------------------------------------------------
# Encoder


def encoder_fields(encoder):
    return (encoder.original_text, encoder.tokens, encoder.ids, encoder.token_types,
            [encoder.get_token_type(token) for token in encoder.tokens])


@pytest.mark.parametrize("text", ["lowest <s> newer", "", "wider 日本 ☃ [SEP]", "x" * 300])
def test_encoders_round_trip(tmp_path, text):
    tokenizer = make_tokenizer(tmp_path, "unknown-token")
    encoder = tokenizer.encode(text)
    for restored in [pickle.loads(pickle.dumps(encoder)), copy.copy(encoder), copy.deepcopy(encoder)]:
        assert type(restored) is wrenmark.Encoder
        assert encoder_fields(restored) == encoder_fields(encoder)
    assert pickle.dumps(pickle.loads(pickle.dumps(encoder))) == pickle.dumps(encoder)


@pytest.mark.parametrize("arguments, error, message", [
    ((2, "a", [], [], b""), ValueError, "version 2"),
    ((1, "a", ["a"], [1], b""), ValueError, "a token type for every token"),
    ((1, "a", ["a"], [1], b"\x03"), ValueError, "unknown token type 3"),
    ((1, 3, [], [], b""), TypeError, "original_text"),
    ((1, "a", "a", [1], b"\x00"), TypeError, "tokens"),
    ((1, "a", ["a"], [2**32], b"\x00"), OverflowError, ""),
    ((1, "a", ["a"], [1], "\x00"), TypeError, "token_types"),
    ((1, "a", [], []), TypeError, ""),
])
def test_bad_encoder_states_are_refused(arguments, error, message):
    with pytest.raises(error, match=message or None):
        extension._encoder_from_state(*arguments)


# ---------------------------------------------------------------------------------------------
# Process pools: the tokenizer travels inside the function, the encoders come back.


def encode_in_worker(tokenizer, text):
    public = [name for name in vars(wrenmark) if not name.startswith("_")]
    return tokenizer.encode(text), tokenizer.decode(tokenizer.encode(text).ids), pickle.dumps(tokenizer), public


def expected_results(tokenizer):
    return [(encoder_fields(tokenizer.encode(text)), tokenizer.decode(tokenizer.encode(text).ids),
             pickle.dumps(tokenizer), wrenmark.__all__) for text in TEXTS]


def comparable(results):
    return [(encoder_fields(encoder), decoded, data, public) for encoder, decoded, data, public in results]


# Python warns that forking a process with threads (the worker pool's) may deadlock; the pool
# runs serially in a forked child, which is what this shows.
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
@pytest.mark.parametrize("method", ["spawn", "forkserver", "fork"])
def test_a_tokenizer_travels_to_a_multiprocessing_pool(tmp_path, method):
    tokenizer = make_tokenizer(tmp_path, "unknown-token")
    with multiprocessing.get_context(method).Pool(2) as pool:
        results = pool.map(functools.partial(encode_in_worker, tokenizer), TEXTS)
    assert comparable(results) == expected_results(tokenizer)


def test_a_tokenizer_travels_to_a_process_pool_executor(tmp_path):
    tokenizer = make_tokenizer(tmp_path, "classic")
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as executor:
        results = list(executor.map(functools.partial(encode_in_worker, tokenizer), TEXTS))
    assert comparable(results) == expected_results(tokenizer)
