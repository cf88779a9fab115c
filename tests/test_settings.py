"""The settings record: what the attributes show, and every saved setting through save and load."""

import itertools
import json

import pytest

from wrenmark import BpeTokenizer, PreTokenization, SpecialTokenRemovalMethod

CORPUS = 'low lower lowest <s> new newer é"\\\t\u0001☃ newest\n' * 5

# Constructor settings: (pre-tokenization, special tokens, removal method).
CONSTRUCTED = [
    (PreTokenization.whitespace, ["<s>"], SpecialTokenRemovalMethod.simple),
    (PreTokenization.punctuation, ["</s>", "<s>", 'é"\\\t\u0001☃'], SpecialTokenRemovalMethod.aho_corasick),
]
# Every optional member of config.json, in the order the file holds them: its attribute, the
# default for which the file leaves it out, and another value.
OPTIONAL_MEMBERS = [("unknown_token", None, "<s>"), ("merge_all_occurrences", False, True),
                    ("byte_fallback", False, True), ("min_frequency", 0, 2), ("max_token_length", None, 4)]
# Members that a tokenizer cannot use together.
EXCLUSIVE_MEMBERS = [{"unknown_token", "byte_fallback"}]


def member_subsets():
    for chosen in itertools.product([False, True], repeat=len(OPTIONAL_MEMBERS)):
        members = {name: value for (name, _, value), used in zip(OPTIONAL_MEMBERS, chosen) if used}
        if not any(exclusive <= members.keys() for exclusive in EXCLUSIVE_MEMBERS):
            yield members


@pytest.mark.parametrize("constructed", CONSTRUCTED, ids=["whitespace-simple", "punctuation-aho-corasick"])
@pytest.mark.parametrize("members", list(member_subsets()), ids=lambda members: "+".join(members) or "none")
def test_saved_settings_round_trip_through_save_and_load(tmp_path, constructed, members):
    pre_tokenization, special_tokens, removal_method = constructed
    corpus = tmp_path / "corpus.txt"
    corpus.write_text(CORPUS, encoding="utf-8")
    tokenizer = BpeTokenizer(str(corpus), 35, pre_tokenization(), special_tokens, removal_method())
    for name, value in members.items():
        setattr(tokenizer, name, value)
    tokenizer.train()
    # Not saved: a loaded tokenizer shows no progress whatever the saved one did.
    tokenizer.show_progress = True
    tokenizer.save(str(tmp_path / "model"))

    expected = {"target_vocab_size": 35, "pre_tokenizer": pre_tokenization().name,
                "special_tokens": special_tokens, "special_token_removal_method": removal_method().name, **members}
    config = json.dumps(expected, indent=2, ensure_ascii=False).encode("utf-8")
    assert (tmp_path / "model" / "config.json").read_bytes() == config

    loaded = BpeTokenizer.from_pretrained(str(tmp_path / "model"))
    assert (loaded.target_vocab_size, loaded.pretokenization_type.name, loaded.special_tokens,
            loaded.special_token_removal_method.name) == (35, expected["pre_tokenizer"], special_tokens,
                                                          expected["special_token_removal_method"])
    for name, default, _ in OPTIONAL_MEMBERS:
        assert getattr(loaded, name) == members.get(name, default)
    assert loaded.show_progress is False
    assert (loaded.vocab_size, loaded.merge_count) == (tokenizer.vocab_size, tokenizer.merge_count)
    loaded.save(str(tmp_path / "again"))
    assert (tmp_path / "again" / "config.json").read_bytes() == config


@pytest.mark.parametrize("name, value", [
    ("target_vocab_size", 2**64 - 1),
    ("special_tokens", ["<s>", "", "<s>"]),
    ("vocab_size", 0),
    ("merge_count", 0),
])
def test_constructed_settings_and_sizes_read_back_and_cannot_be_set(name, value):
    tokenizer = BpeTokenizer("corpus.txt", 2**64 - 1, PreTokenization.whitespace(), ["<s>", "", "<s>"])
    assert getattr(tokenizer, name) == value
    with pytest.raises(AttributeError, match=f"^attribute '{name}' of 'builtins.BpeTokenizer' objects is not "
                                             "writable$"):
        setattr(tokenizer, name, value)


def test_a_read_list_is_the_callers_own():
    tokenizer = BpeTokenizer("corpus.txt", 10, PreTokenization.whitespace(), ["<s>"])
    tokenizer.special_tokens.append("</s>")
    assert tokenizer.special_tokens == ["<s>"]


@pytest.mark.parametrize("attribute, factory, name", [
    ("pretokenization_type", PreTokenization.whitespace, "Whitespace"),
    ("pretokenization_type", PreTokenization.punctuation, "Punctuation"),
    ("special_token_removal_method", SpecialTokenRemovalMethod.simple, "Simple"),
    ("special_token_removal_method", SpecialTokenRemovalMethod.aho_corasick, "AhoCorasick"),
])
def test_variants_read_back_by_name(attribute, factory, name):
    arguments = {"pretokenization_type": PreTokenization.whitespace(), attribute: factory()}
    variant = getattr(BpeTokenizer("corpus.txt", 10, **arguments), attribute)
    assert type(variant) is type(factory())
    assert (variant.name, factory().name) == (name, name)
