"""The corpus of a cluster training, cut into blocks, and what a worker does with one block.

The corpus is the files of the call joined with one line feed between consecutive files. Nothing
joins them for real: a `JoinedCorpus` maps a byte range of the joined corpus to ranges of the
files and the joining line feeds, and a worker reads the files itself, through fsspec, so only
descriptors travel from the client.

A block is a nominal byte range of the joined corpus; the worker moves both ends to the first
safe cut at or after them (the extension's `_safe_block_end`: a cut that no special-token match
and no word crosses, usually right after a white-space character that no special token holds).
The decision at a cut reads only the bytes within the extension's margin of it, so neighbouring
blocks, each resolving their shared end on its own, agree on it, and together the blocks cover
the corpus exactly once. File junctions need nothing special: the joining line feed is just a
byte of the corpus, which is what keeps special tokens holding a line feed exact across them.
"""

from __future__ import annotations

import bisect
import os
from collections.abc import Sequence
from dataclasses import dataclass

import fsspec

# The compiled module itself, for its private functions, which the package does not re-export;
# its private stub, wrenmark.pyi, types them.
import wrenmark.wrenmark as _extension
from wrenmark import BpeTokenizer, PreTokenization, SpecialTokenRemovalMethod

LINE_FEED = b"\n"
# Bytes read past a nominal block end while looking for the safe cut; grown until one is found.
_FIRST_CUT_WINDOW = 1 << 16
_GLOB_CHARACTERS = frozenset("*?[")

CorpusPaths = str | os.PathLike[str] | Sequence[str | os.PathLike[str]]


@dataclass(frozen=True)
class CountingSettings:
    """What a worker needs to split and count text exactly as the client's tokenizer would."""

    pretokenization_type: int
    special_tokens: tuple[str, ...]
    special_token_removal_method: int


@dataclass(frozen=True)
class CorpusFile:
    url: str
    size: int
    # Offset of the file's first byte in the joined corpus.
    origin: int


@dataclass(frozen=True)
class JoinedCorpus:
    files: tuple[CorpusFile, ...]

    @property
    def size(self) -> int:
        return self.files[-1].origin + self.files[-1].size if self.files else 0

    def locate(self, position: int) -> tuple[CorpusFile, int]:
        """The file holding byte `position` of the joined corpus (or the line feed after it), and
        the offset in that file."""
        corpus_file = self.files[self._file_index(position)]
        return corpus_file, position - corpus_file.origin

    def read(self, start: int, stop: int) -> bytes:
        """Bytes [start, stop) of the joined corpus, read from the files."""
        pieces = []
        for index in range(self._file_index(start), len(self.files)):
            corpus_file = self.files[index]
            if corpus_file.origin >= stop:
                break
            begin = max(start, corpus_file.origin) - corpus_file.origin
            end = min(stop, corpus_file.origin + corpus_file.size) - corpus_file.origin
            if begin < end:
                pieces.append(_read_range(corpus_file, begin, end))
            joining_line_feed = corpus_file.origin + corpus_file.size
            if index + 1 < len(self.files) and start <= joining_line_feed < stop:
                pieces.append(LINE_FEED)
        return b"".join(pieces)

    def _file_index(self, position: int) -> int:
        return max(bisect.bisect_right(self.files, position, key=lambda f: f.origin) - 1, 0)


@dataclass(frozen=True)
class Block:
    """Nominal bytes [start, stop) of the joined corpus; the worker moves both to safe cuts."""

    start: int
    stop: int

    def describe(self, corpus: JoinedCorpus) -> str:
        corpus_file, offset = corpus.locate(self.start)
        return f"the block at byte {offset} of {corpus_file.url}"


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


def locate_files(urls: list[str]) -> JoinedCorpus:
    """The joined corpus of the files, from their metadata only."""
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
    return JoinedCorpus(tuple(files))


def plan_blocks(corpus: JoinedCorpus, block_size: int) -> list[Block]:
    return [Block(start, min(start + block_size, corpus.size)) for start in range(0, corpus.size, block_size)]


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


def count_block(settings: CountingSettings, corpus: JoinedCorpus, block: Block) -> bytes:
    """The serialized word table of one block; RuntimeError naming the file on any fault."""
    tokenizer = _counting_tokenizer(settings)
    margin: int = _extension._cut_margin(tokenizer)
    begin = _safe_cut(tokenizer, margin, corpus, block.start)
    end = _safe_cut(tokenizer, margin, corpus, block.stop)
    data = corpus.read(begin, end) if begin < end else b""
    try:
        table: bytes = _extension._count_words(tokenizer, data, begin)
    except RuntimeError:
        # The extension names the offset within the block; a file and its offset is what a user
        # can act on.
        try:
            data.decode("utf-8")
        except UnicodeDecodeError as error:
            corpus_file, offset = corpus.locate(begin + error.start)
            raise RuntimeError(f"Error reading file: {corpus_file.url}: stream did not contain valid UTF-8 "
                               f"(byte {offset} of the file)") from None
        raise
    return table


def merge_tables(*tables: bytes) -> bytes:
    merged: bytes = _extension._merge_word_counts(list(tables))
    return merged


def _safe_cut(tokenizer: BpeTokenizer, margin: int, corpus: JoinedCorpus, position: int) -> int:
    """The first safe cut at or after `position`: the corpus's start and end are cuts."""
    if position <= 0 or position >= corpus.size:
        return min(max(position, 0), corpus.size)
    # Starting `margin` bytes early lets the extension see all it needs around `position`; only
    # at the corpus start is there nothing before.
    window_start = max(position - margin, 0)
    window = _FIRST_CUT_WINDOW
    while True:
        window_stop = min(position + margin + window, corpus.size)
        at_end = window_stop == corpus.size
        found: int = _extension._safe_block_end(tokenizer, corpus.read(window_start, window_stop),
                                                position - window_start, at_end)
        if found >= 0:
            return window_start + found
        if at_end:
            return corpus.size
        window *= 4


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
