"""Shared set-up of the fuzzing targets.

Each target is a script run by atheris (libFuzzer) against the coverage-instrumented build in
.venv-fuzz. An input that makes the module crash, hang, trip a sanitizer or raise anything but the
exceptions a target allows is a finding: libFuzzer stores it under build/fuzz-artifacts/ and stops.
"""

import os
import re
import shutil
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

import wrenmark  # noqa: E402

SPECIAL_TOKENS = ["<s>", "</s>", "[MASK]", "<|endoftext|>"]
SAMPLE_CORPUS = (
    "<s>the quick brown fox jumps over the lazy dog</s> [MASK] the dog sleeps, the fox runs!\n"
    "naïve café déjà vu — 日本語のテキスト 😀😀 <|endoftext|> tab\tand\u00a0nbsp\u3000ideographic\n"
    "aaaa aaaa aaaa bbbb bbbb abab abab abab the the the, fox. fox! fox? <s></s>\n"
) * 3
SEPARATOR = "\x1e"


def silence_stdout():
    """Training writes timing lines straight to file descriptor 1; libFuzzer reports on 2."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.close(devnull)


def scratch_directory() -> Path:
    base = "/dev/shm" if os.path.isdir("/dev/shm") else None
    return Path(tempfile.mkdtemp(prefix="wrenmark-fuzz-", dir=base))


def is_panic(error: BaseException) -> bool:
    return type(error).__name__ == "PanicException"


def vocab_size(tokenizer) -> int:
    return int(re.fullmatch(r"BpeTokenizer\(vocab_size=(\d+)\)", repr(tokenizer)).group(1))


def has_encoding() -> bool:
    return hasattr(wrenmark.BpeTokenizer, "encode") and hasattr(wrenmark.BpeTokenizer, "decode")


def train_model(directory: Path, corpus: str = SAMPLE_CORPUS, target: int = 120, punctuation=True,
                aho_corasick=True, special_tokens=SPECIAL_TOKENS, save_to: Path | None = None):
    path = directory / "corpus.txt"
    path.write_text(corpus, encoding="utf-8")
    tokenizer = wrenmark.BpeTokenizer(
        str(path), target,
        wrenmark.PreTokenization.punctuation() if punctuation else wrenmark.PreTokenization.whitespace(),
        list(special_tokens),
        wrenmark.SpecialTokenRemovalMethod.aho_corasick() if aho_corasick
        else wrenmark.SpecialTokenRemovalMethod.simple(),
        save_to is not None, None if save_to is None else str(save_to))
    tokenizer.train()
    return tokenizer


def check_encoding_consistent(tokenizer, text: str):
    """Encodes `text` and checks what holds for any trained model: parallel lists of valid ids
    whose tokens are the vocabulary's, and a decode of them that returns text; or a refusal that
    names a character the vocabulary lacks."""
    try:
        encoding = tokenizer.encode(text)
    except RuntimeError as error:
        # A character that training never saw has no token, and the call is refused.
        prefix, suffix = "the id for token ", " does not exist"
        message = str(error)
        assert message.startswith(prefix) and message.endswith(suffix), message
        character = message[len(prefix):-len(suffix)]
        assert len(character) == 1 and character in text, message
        try:
            tokenizer.get_id_by_token(character)
        except RuntimeError:
            return None
        raise AssertionError(f"encode refused {character!r}, which the vocabulary has") from error
    tokens, ids, types = encoding.tokens, encoding.ids, encoding.token_types
    assert encoding.original_text == text
    assert len(tokens) == len(ids) == len(types), (len(tokens), len(ids), len(types))
    for token, token_id in zip(tokens, ids):
        assert tokenizer.get_token_by_id(token_id) == token, (token, token_id)
    for token in set(tokens):
        encoding.get_token_type(token)
    assert isinstance(tokenizer.decode(ids), str)
    return encoding


def run(test_one_input):
    import atheris

    silence_stdout()
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


def main(name: str, test_one_input, write_seeds, scratch: Path):
    """Entry point of a fuzz target: `--write-seeds` regenerates fuzz/seeds/{name}, anything else
    fuzzes, and the target's scratch directory is removed afterwards."""
    if sys.argv[1:2] == ["--write-seeds"]:
        write_seeds(ROOT / "fuzz" / "seeds" / name)
        return
    try:
        run(test_one_input)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
