"""The corpus of a cluster training cut into blocks, and what a worker does with one block.

The corpus is the files of the call joined with one line feed between consecutive files. A block
is described by a few numbers (which file, which byte range) so that only descriptors travel from
the client; the worker opens the file itself, through fsspec, and counts the block's words with
the extension.

Where blocks may end: when no special token contains a line feed, right after any line feed.
Special-token removal never deletes a line feed then (a match cannot hold one, not even one that
an earlier removal pass forms), and a line feed separates words, so every line is cleaned and
split on its own and the counts of the blocks add up to the counts of the whole corpus. The line
feed that joins two files is such a point too, which is why a block never needs bytes of two
files. A line feed is never part of a multi-byte UTF-8 sequence, so characters stay whole. When a
special token does contain a line feed, a match may span any line end and the junction of two
files, and the whole corpus becomes one block: exact, but counted by one worker.
"""

from __future__ import annotations

import importlib
import os
from collections.abc import Sequence
from dataclasses import dataclass
from typing import IO, Any

import fsspec  # type: ignore[import-untyped]
from fsspec.utils import seek_delimiter  # type: ignore[import-untyped]

from wrenmark import BpeTokenizer, PreTokenization, SpecialTokenRemovalMethod

# The compiled module itself, for its private functions, which the package does not re-export.
_extension: Any = importlib.import_module("wrenmark.wrenmark")

LINE_FEED = b"\n"
# How far seek_delimiter reads at a time while it looks for the next line feed.
_SEEK_STEP = 1 << 16
_GLOB_CHARACTERS = frozenset("*?[")


@dataclass(frozen=True)
class CountingSettings:
    """What a worker needs to split and count text exactly as the client's tokenizer would."""

    pretokenization_type: int
    special_tokens: tuple[str, ...]
    special_token_removal_method: int

    @property
    def cuts_at_line_feeds(self) -> bool:
        return not any("\n" in token for token in self.special_tokens)


@dataclass(frozen=True)
class CorpusFile:
    url: str
    size: int
    # Offset of the file's first byte in the joined corpus.
    origin: int


@dataclass(frozen=True)
class LineBlock:
    """The bytes of one file around [start, stop), moved to line boundaries.

    The boundaries are resolved on the worker, from the file itself: each of `start` and `stop`
    moves to just after the first line feed at or after it (the file's end when there is none;
    `start` 0 stays). Neighbouring blocks resolve their shared boundary the same way, so together
    they cover every byte of the file once; a line longer than a block leaves some blocks empty.
    """

    file: CorpusFile
    start: int
    stop: int

    def describe(self) -> str:
        return f"bytes {self.start}-{self.stop} of {self.file.url}"


@dataclass(frozen=True)
class JoinedBlock:
    """Whole files joined with line feeds, as one block."""

    files: tuple[CorpusFile, ...]

    def describe(self) -> str:
        return "the whole corpus" if len(self.files) != 1 else f"the whole of {self.files[0].url}"


Block = LineBlock | JoinedBlock


CorpusPaths = str | os.PathLike[str] | Sequence[str | os.PathLike[str]]


def expand_paths(paths: CorpusPaths) -> list[str]:
    """The corpus files in order: each path as given, or the sorted matches of a glob pattern."""
    listed = [paths] if isinstance(paths, (str, os.PathLike)) else list(paths)
    urls: list[str] = []
    for path in listed:
        url = os.fspath(path)
        if _GLOB_CHARACTERS.isdisjoint(url):
            urls.append(url)
            continue
        file_system, pattern = fsspec.core.url_to_fs(url)
        matches = sorted(file_system.glob(pattern))
        if not matches:
            raise RuntimeError(f"Error reading file: {url}: no file matches the pattern")
        urls.extend(file_system.unstrip_protocol(match) for match in matches)
    return urls


def locate_files(urls: list[str]) -> list[CorpusFile]:
    """Sizes and joined-corpus offsets of the files, from their metadata only."""
    files = []
    origin = 0
    for url in urls:
        try:
            file_system, path = fsspec.core.url_to_fs(url)
            info = file_system.info(path)
        except OSError as error:
            raise RuntimeError(f"Error reading file: {url}: {_reason(error)}") from None
        if info.get("type") != "file":
            raise RuntimeError(f"Error reading file: {url}: not a regular file")
        size = int(info["size"])
        files.append(CorpusFile(url, size, origin))
        origin += size + len(LINE_FEED)
    return files


def plan_blocks(files: list[CorpusFile], settings: CountingSettings, block_size: int) -> list[Block]:
    if not settings.cuts_at_line_feeds:
        return [JoinedBlock(tuple(files))] if files else []
    return [LineBlock(corpus_file, start, min(start + block_size, corpus_file.size))
            for corpus_file in files
            for start in range(0, corpus_file.size, block_size)]


# ------------------------------------------------------------------ on the worker


# Tokenizers that count for the trainings this worker has served, by their settings; a worker
# process outlives one training call, so the same settings find their tokenizer ready.
_counting_tokenizers: dict[CountingSettings, BpeTokenizer] = {}


def _counting_tokenizer(settings: CountingSettings) -> BpeTokenizer:
    tokenizer = _counting_tokenizers.get(settings)
    if tokenizer is None:
        if len(_counting_tokenizers) >= 16:
            _counting_tokenizers.clear()
        pre_tokenizations = (PreTokenization.whitespace, PreTokenization.punctuation)
        removal_methods = (SpecialTokenRemovalMethod.simple, SpecialTokenRemovalMethod.aho_corasick)
        tokenizer = BpeTokenizer("", 0, pre_tokenizations[settings.pretokenization_type](),
                                 list(settings.special_tokens),
                                 removal_methods[settings.special_token_removal_method]())
        _counting_tokenizers[settings] = tokenizer
    return tokenizer


def count_block(settings: CountingSettings, block: Block) -> bytes:
    """The serialized word table of one block; RuntimeError naming the file on any fault."""
    if isinstance(block, LineBlock):
        data, begin = _read_lines(block)
        return _count(settings, data, block.file.origin + begin, block.file, begin)
    # Joining the files here keeps the bytes of every file on the worker; a fault is reported
    # against the file it lies in.
    parts = [_read_range(corpus_file, 0, corpus_file.size) for corpus_file in block.files]
    data = LINE_FEED.join(parts)
    try:
        return _count_words(settings, data, 0)
    except RuntimeError:
        for corpus_file, part in zip(block.files, parts):
            _check_utf8(part, corpus_file, 0)
        raise


def merge_tables(*tables: bytes) -> bytes:
    merged: bytes = _extension._merge_word_counts(list(tables))
    return merged


def _count_words(settings: CountingSettings, data: bytes, origin: int) -> bytes:
    table: bytes = _extension._count_words(_counting_tokenizer(settings), data, origin)
    return table


def _count(settings: CountingSettings, data: bytes, origin: int, corpus_file: CorpusFile, begin: int) -> bytes:
    try:
        return _count_words(settings, data, origin)
    except RuntimeError:
        # The extension names the offset within the block; the file offset is what a user can act on.
        _check_utf8(data, corpus_file, begin)
        raise


def _check_utf8(data: bytes, corpus_file: CorpusFile, begin: int) -> None:
    try:
        data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise RuntimeError(f"Error reading file: {corpus_file.url}: stream did not contain valid UTF-8 "
                           f"(byte {begin + error.start} of the file)") from None


def _read_lines(block: LineBlock) -> tuple[bytes, int]:
    corpus_file = block.file
    try:
        file_system, path = fsspec.core.url_to_fs(corpus_file.url)
        with file_system.open(path, "rb") as stream:
            begin = _line_start_at_or_after(stream, block.start)
            end = _line_start_at_or_after(stream, block.stop)
            stream.seek(begin)
            data: bytes = stream.read(end - begin)
    except OSError as error:
        raise RuntimeError(f"Error reading file: {corpus_file.url}: {_reason(error)}") from None
    if len(data) != end - begin or end > corpus_file.size:
        raise RuntimeError(f"Error reading file: {corpus_file.url}: the file changed during training")
    return data, begin


def _line_start_at_or_after(stream: IO[bytes], offset: int) -> int:
    stream.seek(offset)
    seek_delimiter(stream, LINE_FEED, _SEEK_STEP)
    return stream.tell()


def _read_range(corpus_file: CorpusFile, start: int, stop: int) -> bytes:
    try:
        file_system, path = fsspec.core.url_to_fs(corpus_file.url)
        with file_system.open(path, "rb") as stream:
            stream.seek(start)
            data: bytes = stream.read(stop - start)
    except OSError as error:
        raise RuntimeError(f"Error reading file: {corpus_file.url}: {_reason(error)}") from None
    if len(data) != stop - start:
        raise RuntimeError(f"Error reading file: {corpus_file.url}: the file changed during training")
    return data


def _reason(error: OSError) -> str:
    if error.strerror:
        return f"{error.strerror} (os error {error.errno})" if error.errno else error.strerror
    return str(error) or type(error).__name__
