"""The `wrenmark` command: train, encode, decode and describe models from a shell.

Exit status 0 on success, 1 when the operation fails, 2 on a usage error; every error is one line
on standard error.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import sys
from collections.abc import Callable, Iterable, Iterator
from typing import BinaryIO, NoReturn

import wrenmark

PROGRAM = "wrenmark"
# Lines handed to one batch call: enough to keep every core busy, few enough to stream.
BATCH_LINES = 2048
BATCH_BYTES = 4 << 20


class Failure(Exception):
    """An operation failed; the message is printed as one line and the exit status is 1."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def _model_directory(path: str) -> str:
    if not os.path.isdir(path):
        raise Failure(f"no model directory at {path}")
    return path


def _load(path: str) -> wrenmark.BpeTokenizer:
    try:
        return wrenmark.BpeTokenizer.from_pretrained(_model_directory(path))
    except RuntimeError as error:
        raise Failure(f"cannot load the model in {path}: {error}") from None


def _set_option(tokenizer: wrenmark.BpeTokenizer, attribute: str, value: object, option: str) -> None:
    try:
        setattr(tokenizer, attribute, value)
    except (TypeError, ValueError) as error:
        raise Failure(f"{option}: {error}") from None


def _check_readable(path: str) -> None:
    try:
        with open(path, "rb"):
            pass
    except OSError as error:
        raise Failure(f"cannot read the corpus {path}: {error.strerror}") from None


def _train(arguments: argparse.Namespace) -> None:
    if not arguments.corpus and arguments.word_counts is None:
        arguments.parser.error("the following arguments are required: CORPUS")
    if arguments.corpus and arguments.word_counts is not None:
        arguments.parser.error("CORPUS and --word-counts exclude each other")
    for corpus in arguments.corpus:
        _check_readable(corpus)
    pre_tokenization = (wrenmark.PreTokenization.punctuation() if arguments.punctuation
                        else wrenmark.PreTokenization.whitespace())
    removal = (wrenmark.SpecialTokenRemovalMethod.aho_corasick() if arguments.aho_corasick
               else wrenmark.SpecialTokenRemovalMethod.simple())
    input_path = arguments.word_counts if arguments.word_counts is not None else arguments.corpus[0]
    tokenizer = wrenmark.BpeTokenizer(input_path, arguments.vocab_size, pre_tokenization,
                                      arguments.special_token, removal, save_model=True,
                                      output_dir=arguments.output)
    if arguments.unknown_token is not None:
        _set_option(tokenizer, "unknown_token", arguments.unknown_token, "--unknown-token")
    if arguments.merge_all_occurrences:
        _set_option(tokenizer, "merge_all_occurrences", True, "--merge-all-occurrences")
    if arguments.byte_fallback:
        _set_option(tokenizer, "byte_fallback", True, "--byte-fallback")
    if arguments.min_frequency is not None:
        _set_option(tokenizer, "min_frequency", arguments.min_frequency, "--min-frequency")
    if arguments.max_token_length is not None:
        _set_option(tokenizer, "max_token_length", arguments.max_token_length, "--max-token-length")
    if arguments.progress:
        _set_option(tokenizer, "show_progress", True, "--progress")
    try:
        if arguments.word_counts is not None:
            _train_from_word_counts(tokenizer, arguments.word_counts)
        elif len(arguments.corpus) == 1:
            tokenizer.train()
        else:
            _train_on_several(tokenizer, arguments.corpus)
    except (RuntimeError, ValueError) as error:
        raise Failure(str(error)) from None


def _word_count_lines(path: str) -> Iterator[tuple[str, int]]:
    """(word, count) for every line "word TAB count" of the UTF-8 file at `path`, in file order."""
    try:
        stream = open(path, "rb")  # noqa: SIM115 - closed by the with below; only opening is guarded
    except OSError as error:
        raise Failure(f"cannot read the word counts {path}: {error.strerror}") from None
    with stream:
        for number, raw in enumerate(stream, 1):
            line = raw.removesuffix(b"\n").removesuffix(b"\r")
            try:
                text = line.decode("utf-8")
            except UnicodeDecodeError:
                raise Failure(f"{path}, line {number}: not valid UTF-8") from None
            word, tab, count = text.rpartition("\t")
            if not tab:
                raise Failure(f"{path}, line {number}: expected a word, a tab and a count")
            if not (count.isascii() and count.isdigit()):
                raise Failure(f"{path}, line {number}: the count {count!r} is not a whole number")
            yield word, int(count)


def _train_from_word_counts(tokenizer: wrenmark.BpeTokenizer, path: str) -> None:
    try:
        tokenizer.train_from_word_counts(_word_count_lines(path))
    except (TypeError, ValueError) as error:
        # Every line is one item, so item N is line N + 1.
        found = re.match(r"argument 'counts': item (\d+): ", str(error))
        if found is None:
            raise
        raise Failure(f"{path}, line {int(found.group(1)) + 1}: {str(error)[found.end():]}") from None


def _train_on_several(tokenizer: wrenmark.BpeTokenizer, paths: list[str]) -> None:
    try:
        import wrenmark.dask as distributed
    except ImportError as error:
        raise Failure(f"training on several corpora needs wrenmark.dask, which cannot be imported: {error}") from None
    distributed.train(tokenizer, paths)


def _input_lines(source: str) -> Iterator[tuple[int, str]]:
    """(line number, text without its line feed) for every line of FILE or standard input."""
    stream: BinaryIO
    if source == "-":
        stream = sys.stdin.buffer
    else:
        try:
            stream = open(source, "rb")  # noqa: SIM115 - closed by the with block below
        except OSError as error:
            raise Failure(f"cannot read {source}: {error.strerror}") from None
    with stream:
        for number, line in enumerate(stream, start=1):
            try:
                yield number, line.removesuffix(b"\n").decode("utf-8")
            except UnicodeDecodeError:
                raise Failure(f"line {number}: not valid UTF-8") from None


def _batches[T](lines: Iterable[tuple[int, str]],
                parse: Callable[[int, str], T]) -> Iterator[list[tuple[int, T]]]:
    """(line number, `parse(number, text)`) for every line, in lists of the size of one batch call.

    A bad line (invalid UTF-8, or one that `parse` refuses with Failure) ends the list before it,
    which is handed out before the failure goes on, so that every line before it is written.
    """
    batch: list[tuple[int, T]] = []
    size = 0
    try:
        for number, text in lines:
            batch.append((number, parse(number, text)))
            size += len(text)
            if len(batch) >= BATCH_LINES or size >= BATCH_BYTES:
                yield batch
                batch, size = [], 0
    except Failure:
        if batch:
            yield batch
        raise
    if batch:
        yield batch


def _run_batch[T, R](single: Callable[[T], R], batched: Callable[[list[T]], list[R]],
                     batch: list[tuple[int, T]], output: BinaryIO, render: Callable[[R], str]) -> None:
    """Applies `batched` to the batch's arguments and writes every result with `render`.

    When the batch call fails, the lines are redone one at a time so that every line before the
    failing one is written and the error names the failing line.
    """
    try:
        results = batched([argument for _, argument in batch])
    except RuntimeError:
        pass
    else:
        output.write("".join(render(result) for result in results).encode("utf-8"))
        return
    for number, argument in batch:
        try:
            result = single(argument)
        except RuntimeError as error:
            raise Failure(f"line {number}: {error}") from None
        output.write(render(result).encode("utf-8"))


_RENDERERS: dict[str, Callable[[wrenmark.Encoder], str]] = {
    "ids": lambda encoding: " ".join(map(str, encoding.ids)) + "\n",
    "tokens": lambda encoding: " ".join(encoding.tokens) + "\n",
    "jsonl": lambda encoding: json.dumps({"ids": encoding.ids, "tokens": encoding.tokens},
                                         ensure_ascii=False) + "\n",
}


def _text(_number: int, text: str) -> str:
    return text


def _encode(arguments: argparse.Namespace) -> None:
    tokenizer = _load(arguments.model)
    if arguments.dropout is not None:
        _set_option(tokenizer, "dropout", arguments.dropout, "--dropout")
    if arguments.seed is not None:
        _set_option(tokenizer, "dropout_seed", arguments.seed, "--seed")
    render = _RENDERERS[arguments.format]
    output = sys.stdout.buffer
    for batch in _batches(_input_lines(arguments.input), _text):
        _run_batch(tokenizer.encode, tokenizer.encode_batch, batch, output, render)
    output.flush()


def _parse_ids(number: int, text: str) -> list[int]:
    try:
        ids = [int(field) for field in text.split()]
    except ValueError:
        raise Failure(f"line {number}: expected token ids separated by spaces") from None
    if any(not 0 <= value < 1 << 32 for value in ids):
        raise Failure(f"line {number}: a token id is out of the range 0 to 4294967295")
    return ids


def _decode(arguments: argparse.Namespace) -> None:
    tokenizer = _load(arguments.model)
    output = sys.stdout.buffer
    for batch in _batches(_input_lines(arguments.input), _parse_ids):
        _run_batch(tokenizer.decode, tokenizer.decode_batch, batch, output, lambda text: text + "\n")
    output.flush()


_REQUIRED = object()
# What `info` shows after the sizes: the settings a saved model keeps, under their names in
# config.json and in its order, each read from the tokenizer; an optional one only when it differs
# from the default for which config.json leaves it out.
_SAVED_SETTINGS: list[tuple[str, Callable[[wrenmark.BpeTokenizer], object], object]] = [
    ("target_vocab_size", lambda tokenizer: tokenizer.target_vocab_size, _REQUIRED),
    ("pre_tokenizer", lambda tokenizer: tokenizer.pretokenization_type.name, _REQUIRED),
    ("special_tokens", lambda tokenizer: tokenizer.special_tokens, _REQUIRED),
    ("special_token_removal_method", lambda tokenizer: tokenizer.special_token_removal_method.name, _REQUIRED),
    ("unknown_token", lambda tokenizer: tokenizer.unknown_token, None),
    ("merge_all_occurrences", lambda tokenizer: tokenizer.merge_all_occurrences, False),
    ("byte_fallback", lambda tokenizer: tokenizer.byte_fallback, False),
    ("min_frequency", lambda tokenizer: tokenizer.min_frequency, 0),
    ("max_token_length", lambda tokenizer: tokenizer.max_token_length, None),
]


def _info(arguments: argparse.Namespace) -> None:
    tokenizer = _load(arguments.model)
    lines = [f"vocab_size: {tokenizer.vocab_size}", f"merges: {tokenizer.merge_count}"]
    for name, read, default in _SAVED_SETTINGS:
        value = read(tokenizer)
        if value != default:
            lines.append(f"{name}: {value if isinstance(value, str) else json.dumps(value, ensure_ascii=False)}")
    sys.stdout.write("\n".join(lines) + "\n")


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROGRAM, description="Train, use and inspect wrenmark BPE tokenizers.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                     parser_class=_Parser)

    train = commands.add_parser("train", help="train a tokenizer and save it in a model directory",
                                description="Train a tokenizer on CORPUS (several files are trained on "
                                            "as one corpus, joined with line feeds) and save it in DIR.")
    train.add_argument("corpus", nargs="*", metavar="CORPUS", help="UTF-8 text file")
    train.add_argument("--word-counts", metavar="FILE",
                       help="train from word counts instead: UTF-8 lines of a word, a tab and its count")
    train.add_argument("-o", "--output", required=True, metavar="DIR", help="model directory to write")
    train.add_argument("--vocab-size", required=True, type=_count, metavar="N", help="target vocabulary size")
    train.add_argument("--special-token", action="append", default=[], metavar="T",
                       help="a special token (repeat for several, in order)")
    train.add_argument("--punctuation", action="store_true",
                       help="split words at ASCII punctuation too (default: white space only)")
    train.add_argument("--aho-corasick", action="store_true",
                       help="remove special tokens from the corpus with the Aho-Corasick matcher")
    train.add_argument("--unknown-token", metavar="T",
                       help="special token that stands for characters unseen in training")
    train.add_argument("--merge-all-occurrences", action="store_true", help="use the classic merge loop")
    train.add_argument("--byte-fallback", action="store_true",
                       help="add the 256 byte tokens, which spell characters unseen in training")
    train.add_argument("--min-frequency", type=int, metavar="N",
                       help="stop merging once the best pair occurs fewer than N times")
    train.add_argument("--max-token-length", type=int, metavar="N",
                       help='merge no pair into a token of more than N characters ("</w>" not counted)')
    train.add_argument("--progress", action="store_true", help="show progress on standard error")
    train.set_defaults(run=_train, parser=train)

    encode = commands.add_parser("encode", help="encode text, one line of output per input line",
                                 description="Encode every line of FILE (standard input by default).")
    _model_option(encode)
    _input_argument(encode)
    formats = encode.add_mutually_exclusive_group()
    formats.add_argument("--ids", dest="format", action="store_const", const="ids",
                         help="token ids separated by spaces (default)")
    formats.add_argument("--tokens", dest="format", action="store_const", const="tokens",
                         help="token texts separated by spaces")
    formats.add_argument("--jsonl", dest="format", action="store_const", const="jsonl",
                         help='one JSON object per line: {"ids": [...], "tokens": [...]}')
    encode.add_argument("--dropout", type=_probability, metavar="P",
                        help="skip each applicable merge with probability P (BPE-dropout)")
    encode.add_argument("--seed", type=_count, metavar="S",
                        help="seed of the dropout draws (default: fresh draws on every run)")
    encode.set_defaults(run=_encode, format="ids")

    decode = commands.add_parser("decode", help="decode lines of token ids into text",
                                 description="Decode every line of FILE (standard input by default), "
                                             "token ids separated by spaces, into one line of text.")
    _model_option(decode)
    _input_argument(decode)
    decode.set_defaults(run=_decode)

    info = commands.add_parser("info", help="show a model's vocabulary size, merges and settings",
                               description="Show the vocabulary size, the number of merges, the "
                                           "special tokens and the settings of the model in DIR.")
    info.add_argument("model", metavar="DIR", help="model directory")
    info.set_defaults(run=_info)
    return parser


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 0 <= value < 1 << 64:
        raise argparse.ArgumentTypeError(f"out of the range 0 to 2**64 - 1: {value}")
    return value


def _probability(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 <= value < 1:
        raise argparse.ArgumentTypeError(f"out of the range [0, 1): {text}")
    return value


def _model_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("-m", "--model", required=True, metavar="DIR", help="model directory")


def _input_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("input", nargs="?", default="-", metavar="FILE",
                        help="input file, or - for standard input (the default)")


def main(argv: list[str] | None = None) -> int:
    arguments = _parser().parse_args(argv)
    try:
        arguments.run(arguments)
    except Failure as error:
        sys.stdout.flush()
        sys.stderr.write(f"{PROGRAM} {arguments.command}: error: {error}\n")
        return 1
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): nothing more can be written anywhere useful.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        return 130
    return 0
