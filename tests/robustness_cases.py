"""The bad inputs that wrenmark has been tried with, and what it does with each.

Every case is replayed by tests/test_robustness.py, looped by tests/test_resources.py to watch
for leaks, and listed in docs/robustness.md, whose table scripts/robustness_table.py writes from
this list. A case's call must leave the shared objects of the Context as it found them, so that
it can be repeated any number of times.
"""

from __future__ import annotations

import json
import shutil
from dataclasses import dataclass
from pathlib import Path
from collections.abc import Callable

from wrenmark import BpeTokenizer, PreTokenization, SpecialTokenRemovalMethod

TYPE, VALUE, FILE, FAULT, REENTRY = "type", "value", "file content", "fault injected", "re-entrant call"
CORPUS_TEXT = "low lower lowest <s> new newer newest </s> the the wide widest\n" * 3
SPECIAL_TOKENS = ["<s>", "</s>"]
MODEL_FILES = ["config.json", "token_table.json", "merge_rules.json", "save_ranks.json", "pairs_to_merge.json"]


@dataclass(frozen=True)
class Case:
    method: str
    kind: str
    bad_input: str
    call: Callable[[Context], object]
    # The exception's class name and its message (a prefix when it ends with "..."), or None
    # with `result` describing what the call returns.
    raises: str | None = None
    message: str = ""
    check: Callable[[object], bool] | None = None
    result: str = ""

    @property
    def outcome(self) -> str:
        if self.raises is None:
            return f"returns {self.result}"
        return f"raises {self.raises}: \"{self.message}\"" if self.message else f"raises {self.raises}"


class Context:
    """The files and objects the cases work on, made once in `directory`."""

    def __init__(self, directory: Path):
        self.directory = directory
        self.corpus = directory / "corpus.txt"
        self.corpus.write_text(CORPUS_TEXT, encoding="utf-8")
        self.model = directory / "model"
        self.trained = self.tokenizer(save_model=True, output_dir=str(self.model))
        self.trained.train()
        self.token_table = json.loads((self.model / "token_table.json").read_text(encoding="utf-8"))
        self.not_a_directory = directory / "plain-file"
        self.not_a_directory.write_text("x")
        self.bad_models: dict[str, Path] = {}
        self.encoding = self.trained.encode("low lower")

    def tokenizer(self, corpus: str | Path | None = None, target=60, special_tokens=SPECIAL_TOKENS,
                  aho_corasick=False, **options):
        return BpeTokenizer(str(corpus if corpus is not None else self.corpus), target,
                            PreTokenization.whitespace(), list(special_tokens),
                            SpecialTokenRemovalMethod.aho_corasick() if aho_corasick
                            else SpecialTokenRemovalMethod.simple(), **options)

    def corpus_file(self, name: str, content: bytes) -> str:
        path = self.directory / name
        if not path.exists():
            path.write_bytes(content)
        return str(path)

    def model_with(self, name: str, file_name: str, content: str | bytes | None) -> str:
        """A copy of the saved model with one file replaced (None: removed, a directory: "<dir>")."""
        if name not in self.bad_models:
            directory = self.directory / f"model-{name}"
            shutil.copytree(self.model, directory)
            target = directory / file_name
            target.unlink()
            if content == "<dir>":
                target.mkdir()
            elif content is not None:
                target.write_bytes(content.encode("utf-8") if isinstance(content, str) else content)
            self.bad_models[name] = directory
        return str(self.bad_models[name])

    def loaded(self, name: str, file_name: str, content: str | bytes | None):
        return BpeTokenizer.from_pretrained(self.model_with(name, file_name, content))

    def table_without(self, token: str) -> str:
        return json.dumps({"id_to_token": [t for t in self.token_table["id_to_token"] if t != token],
                           "token_to_id": {t: i for t, i in self.token_table["token_to_id"].items() if t != token}})


class Reentrant:
    """An integer whose conversion calls back into the tokenizer being called."""

    def __init__(self, action: Callable[[], object], value: int = 0):
        self.action, self.value = action, value

    def __index__(self):
        self.action()
        return self.value


class ReentrantSequence:
    """A sequence whose iteration calls back into the tokenizer being called."""

    def __init__(self, action: Callable[[], object]):
        self.action = action

    def __len__(self):
        return 1

    def __getitem__(self, index):
        if index > 0:
            raise IndexError(index)
        self.action()
        return 0


def fresh_train(context: Context, **kwargs):
    tokenizer = context.tokenizer(**kwargs)
    tokenizer.train()
    return tokenizer


def train_then_save(context: Context, output_dir):
    tokenizer = context.tokenizer(save_model=True, output_dir=output_dir)
    try:
        tokenizer.train()
    finally:
        # A failed save keeps the model in memory.
        assert repr(tokenizer) == repr(context.trained)


def is_str(value):
    return isinstance(value, str)


CASES: list[Case] = [
    # ---- the constructor
    Case("BpeTokenizer(...)", TYPE, "input_path=b\"corpus.txt\"",
         lambda c: BpeTokenizer(b"corpus.txt", 10, PreTokenization.whitespace()),
         "TypeError", "argument 'input_path': 'bytes' object cannot be converted to 'PyString'"),
    Case("BpeTokenizer(...)", TYPE, "input_path=pathlib.Path(\"corpus.txt\")",
         lambda c: BpeTokenizer(Path("corpus.txt"), 10, PreTokenization.whitespace()),
         "TypeError", "argument 'input_path': 'PosixPath' object cannot be converted to 'PyString'"),
    Case("BpeTokenizer(...)", VALUE, "input_path with a lone surrogate \"\\ud800\"",
         lambda c: BpeTokenizer("\ud800", 10, PreTokenization.whitespace()), "UnicodeEncodeError", "..."),
    Case("BpeTokenizer(...)", VALUE, "target_vocab_size=-1",
         lambda c: BpeTokenizer("c", -1, PreTokenization.whitespace()),
         "OverflowError", "can't convert negative int to unsigned"),
    Case("BpeTokenizer(...)", VALUE, "target_vocab_size=2**64",
         lambda c: BpeTokenizer("c", 2**64, PreTokenization.whitespace()), "OverflowError", "int too big to convert"),
    Case("BpeTokenizer(...)", TYPE, "target_vocab_size=1.5",
         lambda c: BpeTokenizer("c", 1.5, PreTokenization.whitespace()),
         "TypeError", "argument 'target_vocab_size': 'float' object cannot be interpreted as an integer"),
    Case("BpeTokenizer(...)", TYPE, "pretokenization_type=None",
         lambda c: BpeTokenizer("c", 1, None),
         "TypeError", "argument 'pretokenization_type': 'NoneType' object cannot be converted to 'PreTokenization'"),
    Case("BpeTokenizer(...)", TYPE, "pretokenization_type=SpecialTokenRemovalMethod.simple()",
         lambda c: BpeTokenizer("c", 1, SpecialTokenRemovalMethod.simple()), "TypeError",
         "argument 'pretokenization_type': 'SpecialTokenRemovalMethod' object cannot be converted to 'PreTokenization'"),
    Case("BpeTokenizer(...)", TYPE, "special_tokens=\"<s>\"",
         lambda c: BpeTokenizer("c", 1, PreTokenization.whitespace(), "<s>"),
         "TypeError", "argument 'special_tokens': Can't extract `str` to `Vec`"),
    Case("BpeTokenizer(...)", TYPE, "special_tokens={\"<s>\"} (a set)",
         lambda c: BpeTokenizer("c", 1, PreTokenization.whitespace(), {"<s>"}),
         "TypeError", "argument 'special_tokens': 'set' object cannot be converted to 'Sequence'"),
    Case("BpeTokenizer(...)", TYPE, "special_tokens=[\"<s>\", 1]",
         lambda c: BpeTokenizer("c", 1, PreTokenization.whitespace(), ["<s>", 1]),
         "TypeError", "argument 'special_tokens': 'int' object cannot be converted to 'PyString'"),
    Case("BpeTokenizer(...)", TYPE, "special_tokens: a sequence whose item access raises ValueError",
         lambda c: BpeTokenizer("c", 1, PreTokenization.whitespace(), ReentrantSequence(lambda: int("x"))),
         "ValueError", "invalid literal for int() with base 10: 'x'"),
    Case("BpeTokenizer(...)", TYPE, "special_token_removal_method=1",
         lambda c: BpeTokenizer("c", 1, PreTokenization.whitespace(), [], 1), "TypeError",
         "argument 'special_token_removal_method': 'int' object cannot be converted to 'SpecialTokenRemovalMethod'"),
    Case("BpeTokenizer(...)", TYPE, "save_model=1",
         lambda c: BpeTokenizer("c", 1, PreTokenization.whitespace(), [], None, 1),
         "TypeError", "argument 'save_model': 'int' object cannot be converted to 'PyBool'"),
    Case("BpeTokenizer(...)", TYPE, "output_dir=pathlib.Path(\"model\")",
         lambda c: BpeTokenizer("c", 1, PreTokenization.whitespace(), [], None, True, Path("model")),
         "TypeError", "argument 'output_dir': 'PosixPath' object cannot be converted to 'PyString'"),
    Case("BpeTokenizer(...)", TYPE, "an eighth argument",
         lambda c: BpeTokenizer("c", 1, PreTokenization.whitespace(), [], None, False, None, 8),
         "TypeError", "BpeTokenizer.__new__() takes at most 7 arguments (8 given)"),

    # ---- merge_all_occurrences (a setting that train() reads)
    Case("merge_all_occurrences", TYPE, "merge_all_occurrences = 1",
         lambda c: setattr(c.trained, "merge_all_occurrences", 1), "TypeError",
         "attribute 'merge_all_occurrences' must be bool, not 'int'"),
    Case("merge_all_occurrences", TYPE, "del merge_all_occurrences",
         lambda c: delattr(c.trained, "merge_all_occurrences"), "TypeError",
         "cannot delete attribute 'merge_all_occurrences'"),

    # ---- train()
    Case("train()", VALUE, "a second train() on a trained tokenizer", lambda c: c.trained.train(),
         "RuntimeError", "Cannot train a pretrained model"),
    Case("train()", FAULT, "corpus file missing", lambda c: c.tokenizer(c.directory / "missing.txt").train(),
         "RuntimeError", "Error reading file: No such file or directory (os error 2)"),
    Case("train()", FAULT, "corpus path is a directory", lambda c: c.tokenizer(c.directory).train(),
         "RuntimeError", "Error reading file: Is a directory (os error 21)"),
    Case("train()", VALUE, "corpus path \"corpus.txt\\0junk\" (NUL inside)",
         lambda c: c.tokenizer(str(c.corpus) + "\x00junk").train(),
         "RuntimeError", "Error reading file: path contains a NUL character"),
    Case("train()", FILE, "corpus bytes ff fe 61 (not UTF-8)",
         lambda c: c.tokenizer(c.corpus_file("latin.txt", b"\xff\xfea")).train(),
         "RuntimeError", "Error reading file: stream did not contain valid UTF-8"),
    Case("train()", FILE, "corpus holding an encoded surrogate (ed a0 80)",
         lambda c: c.tokenizer(c.corpus_file("surrogate.txt", b"a \xed\xa0\x80")).train(),
         "RuntimeError", "Error reading file: stream did not contain valid UTF-8"),
    Case("train()", FILE, "corpus cut inside a character (e6 97)",
         lambda c: c.tokenizer(c.corpus_file("cut.txt", b"ab \xe6\x97")).train(),
         "RuntimeError", "Error reading file: stream did not contain valid UTF-8"),
    Case("train()", FILE, "empty corpus",
         lambda c: repr(fresh_train(c, corpus=c.corpus_file("empty.txt", b""))),
         check=lambda r: r == "BpeTokenizer(vocab_size=3)", result="a model of the special tokens and \"</w>\""),
    Case("train()", FILE, "corpus of NUL bytes and control characters",
         lambda c: repr(fresh_train(c, corpus=c.corpus_file("controls.txt", b"\x00\x01 \x00\x00\x1c\x7f"))),
         check=lambda r: r.startswith("BpeTokenizer(vocab_size="), result="a trained model"),
    Case("train()", VALUE, "target_vocab_size=2**64-1",
         lambda c: repr(fresh_train(c, target=2**64 - 1)),
         check=lambda r: r.startswith("BpeTokenizer(vocab_size="), result="a model with every pair merged"),
    Case("train()", VALUE, "special tokens \"\", duplicates, \"</w>\", \"\\0\"",
         lambda c: repr(fresh_train(c, special_tokens=["", "<s>", "<s>", "</w>", "\x00"], aho_corasick=True)),
         check=lambda r: r.startswith("BpeTokenizer(vocab_size="), result="a trained model"),
    Case("train()", VALUE, "a 100,000-character special token, AhoCorasick",
         lambda c: repr(fresh_train(c, special_tokens=["x" * 100_000], aho_corasick=True)),
         check=lambda r: r.startswith("BpeTokenizer(vocab_size="), result="a trained model"),
    Case("train()", VALUE, "save_model=True without output_dir",
         lambda c: train_then_save(c, None), "RuntimeError", "Output directory not provided but save_model is true"),
    Case("train()", FAULT, "output_dir is an existing file",
         lambda c: train_then_save(c, str(c.not_a_directory)), "RuntimeError", "File Error: Not a directory (os error 20)"),
    Case("train()", FAULT, "output_dir below a file",
         lambda c: train_then_save(c, str(c.not_a_directory / "model")),
         "RuntimeError", "File Error: Not a directory (os error 20)"),
    Case("train()", VALUE, "output_dir \"model\\0junk\" (NUL inside)",
         lambda c: train_then_save(c, str(c.directory / "out") + "\x00junk"),
         "RuntimeError", "File Error: path contains a NUL character"),
    Case("train()", REENTRY, "train() from the __index__ of get_token_by_id's id",
         lambda c: c.trained.get_token_by_id(Reentrant(c.trained.train)), "RuntimeError", "Already borrowed"),

    # ---- lookups
    Case("get_token_by_id(id)", VALUE, "an id beyond the vocabulary", lambda c: c.trained.get_token_by_id(10**6),
         "RuntimeError", "the token for id 1000000 does not exist"),
    Case("get_token_by_id(id)", VALUE, "id=2**32", lambda c: c.trained.get_token_by_id(2**32),
         "OverflowError", "out of range integral type conversion attempted"),
    Case("get_token_by_id(id)", VALUE, "id=-1", lambda c: c.trained.get_token_by_id(-1),
         "OverflowError", "can't convert negative int to unsigned"),
    Case("get_token_by_id(id)", TYPE, "id=\"1\"", lambda c: c.trained.get_token_by_id("1"),
         "TypeError", "argument 'id': 'str' object cannot be interpreted as an integer"),
    Case("get_token_by_id(id)", TYPE, "id whose __index__ raises ValueError",
         lambda c: c.trained.get_token_by_id(Reentrant(lambda: int("x"))),
         "ValueError", "invalid literal for int() with base 10: 'x'"),
    Case("get_id_by_token(token)", VALUE, "a token not in the vocabulary", lambda c: c.trained.get_id_by_token("zebra"),
         "RuntimeError", "the id for token zebra does not exist"),
    Case("get_id_by_token(token)", VALUE, "the empty token", lambda c: c.trained.get_id_by_token(""),
         "RuntimeError", "the id for token  does not exist"),
    Case("get_id_by_token(token)", VALUE, "a lone surrogate", lambda c: c.trained.get_id_by_token("\udfff"),
         "UnicodeEncodeError", "..."),
    Case("get_id_by_token(token)", TYPE, "token=b\"low\"", lambda c: c.trained.get_id_by_token(b"low"),
         "TypeError", "argument 'token': 'bytes' object cannot be converted to 'PyString'"),
    Case("get_token_by_id(id)", REENTRY, "a lookup from the __index__ of the id (nested shared access)",
         lambda c: c.trained.get_token_by_id(Reentrant(lambda: c.trained.get_id_by_token("<s>"), 1)),
         check=lambda r: r == "</s>", result="the token, \"</s>\""),

    # ---- encode, decode, Encoder
    Case("encode(text)", VALUE, "a character that training never saw", lambda c: c.trained.encode("low zoo"),
         "RuntimeError", "the id for token z does not exist"),
    Case("encode(text)", VALUE, "a lone surrogate", lambda c: c.trained.encode("low \ud800"), "UnicodeEncodeError", "..."),
    Case("encode(text)", TYPE, "text=b\"low\"", lambda c: c.trained.encode(b"low"),
         "TypeError", "argument 'text': 'bytes' object cannot be converted to 'PyString'"),
    Case("encode(text)", VALUE, "on an untrained tokenizer", lambda c: c.tokenizer().encode("low"),
         "RuntimeError", "Cannot encode text without training the tokenizer"),
    Case("encode(text)", VALUE, "special tokens back to back, nothing else",
         lambda c: c.trained.encode("<s></s><s>").ids,
         check=lambda r: r == [0, 1, 0], result="an Encoder of the three special tokens"),
    Case("decode(ids)", VALUE, "ids beyond the vocabulary and 2**32-1", lambda c: c.trained.decode([0, 10**6, 2**32 - 1]),
         check=lambda r: r == "<s> ", result="the text of the valid ids only, \"<s> \""),
    Case("decode(ids)", VALUE, "an id of 2**32", lambda c: c.trained.decode([1, 2**32]),
         "OverflowError", "out of range integral type conversion attempted"),
    Case("decode(ids)", VALUE, "an id of -1", lambda c: c.trained.decode([-1]),
         "OverflowError", "can't convert negative int to unsigned"),
    Case("decode(ids)", TYPE, "ids=\"123\"", lambda c: c.trained.decode("123"),
         "TypeError", "argument 'ids': Can't extract `str` to `Vec`"),
    Case("decode(ids)", TYPE, "ids=[1, \"2\"]", lambda c: c.trained.decode([1, "2"]),
         "TypeError", "argument 'ids': 'str' object cannot be interpreted as an integer"),
    Case("decode(ids)", TYPE, "ids: a generator", lambda c: c.trained.decode(i for i in [1]),
         "TypeError", "argument 'ids': 'generator' object cannot be converted to 'Sequence'"),
    Case("decode(ids)", VALUE, "on an untrained tokenizer", lambda c: c.tokenizer().decode([0]),
         "RuntimeError", "Cannot decode text without training the tokenizer"),
    Case("decode(ids)", REENTRY, "train() while iterating ids", lambda c: c.trained.decode(ReentrantSequence(c.trained.train)),
         "RuntimeError", "Already borrowed"),
    Case("Encoder.get_token_type(token)", VALUE, "a token not among the tokens",
         lambda c: c.encoding.get_token_type("zebra"), "RuntimeError", "the token zebra does not exists"),
    Case("Encoder.get_token_type(token)", TYPE, "token=0", lambda c: c.encoding.get_token_type(0),
         "TypeError", "argument 'token': 'int' object cannot be converted to 'PyString'"),

    # ---- from_pretrained
    Case("from_pretrained(files_path)", FAULT, "a missing directory",
         lambda c: BpeTokenizer.from_pretrained(str(c.directory / "nowhere")), "RuntimeError",
         "..."),
    Case("from_pretrained(files_path)", FAULT, "a file instead of a directory",
         lambda c: BpeTokenizer.from_pretrained(str(c.not_a_directory)), "RuntimeError", "..."),
    Case("from_pretrained(files_path)", VALUE, "files_path=\"\"", lambda c: BpeTokenizer.from_pretrained(""),
         "RuntimeError", " directory does not exists or the path provided is not a directory"),
    Case("from_pretrained(files_path)", VALUE, "a path with a NUL character",
         lambda c: BpeTokenizer.from_pretrained(str(c.model) + "\x00"), "RuntimeError", "..."),
    Case("from_pretrained(files_path)", TYPE, "files_path=pathlib.Path(...)",
         lambda c: BpeTokenizer.from_pretrained(c.model),
         "TypeError", "argument 'files_path': 'PosixPath' object cannot be converted to 'PyString'"),
    Case("from_pretrained(files_path)", FAULT, "merge_rules.json removed",
         lambda c: c.loaded("no-merges", "merge_rules.json", None),
         "RuntimeError", "merge_rules.json does not exist in the directory provided"),
    Case("from_pretrained(files_path)", FAULT, "config.json is a directory",
         lambda c: c.loaded("config-dir", "config.json", "<dir>"),
         "RuntimeError", "Json serialization error Is a directory (os error 21)"),
    Case("from_pretrained(files_path)", FILE, "empty config.json", lambda c: c.loaded("empty", "config.json", ""),
         "RuntimeError", "Json serialization error EOF while parsing a value in config.json at line 1 column 1"),
    Case("from_pretrained(files_path)", FILE, "config.json \"{}\"", lambda c: c.loaded("config-empty-object", "config.json", "{}"),
         "RuntimeError", "Json serialization error missing field `target_vocab_size` in config.json at line 1 column 2"),
    Case("from_pretrained(files_path)", FILE, "config.json with pre_tokenizer \"Bytes\"",
         lambda c: c.loaded("bad-variant", "config.json", json.dumps(
             {"target_vocab_size": 1, "pre_tokenizer": "Bytes", "special_tokens": [],
              "special_token_removal_method": "Simple"})),
         "RuntimeError", "Json serialization error unknown variant `Bytes`, expected `Whitespace` or `Punctuation` "
                         "in config.json at line 1 column 43"),
    Case("from_pretrained(files_path)", FILE, "config.json with merge_all_occurrences \"yes\"",
         lambda c: c.loaded("bad-option", "config.json", json.dumps(
             {"target_vocab_size": 1, "pre_tokenizer": "Whitespace", "special_tokens": [],
              "special_token_removal_method": "Simple", "merge_all_occurrences": "yes"})),
         "RuntimeError", "Json serialization error expected a boolean, found `\"yes\"` "
                         "in config.json at line 1 column 146"),
    Case("from_pretrained(files_path)", FILE, "config.json with target_vocab_size -1",
         lambda c: c.loaded("negative", "config.json", '{"target_vocab_size": -1}'), "RuntimeError",
         "Json serialization error expected an integer from 0 to 18446744073709551615, found `-1` "
         "in config.json at line 1 column 23"),
    Case("from_pretrained(files_path)", FILE, "config.json nested 5,000 arrays deep in an extra member",
         lambda c: c.loaded("deep", "config.json", '{"x": ' + "[" * 5000 + "]" * 5000 + "}"),
         "RuntimeError", "Json serialization error recursion limit exceeded in config.json at line 1 column 136"),
    Case("from_pretrained(files_path)", FILE, "token_table.json with trailing text",
         lambda c: c.loaded("trailing", "token_table.json", '{"id_to_token": [], "token_to_id": {}} x'),
         "RuntimeError", "Json serialization error trailing characters in token_table.json at line 1 column 40"),
    Case("from_pretrained(files_path)", FILE, "token_table.json with bytes ff fe in a string",
         lambda c: c.loaded("not-utf8", "token_table.json", b'{"id_to_token": ["\xff\xfe"], "token_to_id": {}}'),
         "RuntimeError", "Json serialization error invalid UTF-8 in token_table.json at line 1 column 19"),
    Case("from_pretrained(files_path)", FILE, "token_table.json with an id of 2**32",
         lambda c: c.loaded("big-id", "token_table.json", '{"id_to_token": [], "token_to_id": {"a": 4294967296}}'),
         "RuntimeError", "Json serialization error expected an integer from 0 to 4294967295, found `4294967296` "
                         "in token_table.json at line 1 column 42"),
    Case("from_pretrained(files_path)", FILE, "merge_rules.json with a rule of 3 ids",
         lambda c: c.loaded("long-rule", "merge_rules.json", "[[1, 2, 3]]"), "RuntimeError",
         "Json serialization error expected a merge rule of 2 token ids, found more in merge_rules.json at line 1 column 9"),
    Case("from_pretrained(files_path)", FILE, "save_ranks.json with the key \"a_b\"",
         lambda c: c.loaded("bad-key", "save_ranks.json", '{"a_b": 1}'), "RuntimeError",
         "Json serialization error invalid pair key `a_b` in save_ranks.json at line 1 column 2"),
    Case("from_pretrained(files_path)", FILE, "pairs_to_merge.json as an array",
         lambda c: c.loaded("array-map", "pairs_to_merge.json", "[]"), "RuntimeError",
         "Json serialization error expected an object of pair keys, found an array in pairs_to_merge.json at line 1 column 1"),
    Case("from_pretrained(files_path)", FILE, "token_table.json without \"</w>\", then encode",
         lambda c: c.loaded("no-end-of-word", "token_table.json", c.table_without("</w>")).encode("low"),
         "RuntimeError", "the id for token </w> does not exist"),
    Case("from_pretrained(files_path)", FILE, "merge_rules.json naming ids beyond the vocabulary, then encode",
         lambda c: c.loaded("far-merges", "merge_rules.json", "[[1000000, 2000000], [4000000000, 0]]").encode("low").tokens,
         check=lambda r: "".join(r) == "low</w>", result="the model; encode ignores the unusable rules"),
    Case("from_pretrained(files_path)", FILE, "pairs_to_merge.json mapping a pair to an id beyond the vocabulary, then encode",
         lambda c: len(c.loaded("far-target", "pairs_to_merge.json", json.dumps(
             {"_".join(map(str, pair)): 4_000_000_000
              for pair in json.loads((c.model / "merge_rules.json").read_text())})).encode("low").ids),
         check=lambda r: r >= 1, result="the model; encode appends the id alone, without a token"),
    Case("from_pretrained(files_path)", FILE, "a loaded model decoding every id up to 2**32-1 sampled",
         lambda c: c.loaded("no-pairs", "pairs_to_merge.json", "{}").decode(list(range(0, 2**32, 2**26))),
         check=is_str, result="text"),
]
