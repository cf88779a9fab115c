# The compiled extension itself. Its classes are the package's (documented in __init__.pyi, which
# users see); this stub adds the private functions that the package's own submodules and tests
# call, so that they are type-checked too. Nothing here is part of the package's surface.
from collections.abc import Buffer, Sequence
from typing import Protocol, SupportsIndex, TypedDict, type_check_only

from wrenmark import (
    BpeTokenizer as BpeTokenizer,
    Encoder as Encoder,
    PreTokenization as PreTokenization,
    SpecialTokenRemovalMethod as SpecialTokenRemovalMethod,
    TokenType as TokenType,
)

__all__ = ["BpeTokenizer", "PreTokenization", "SpecialTokenRemovalMethod", "Encoder", "TokenType"]

@type_check_only
class _TrainingSettings(TypedDict):
    input_path: str
    target_vocab_size: int
    # The positions of the variants: whitespace 0, punctuation 1; simple 0, aho_corasick 1.
    pretokenization_type: int
    special_tokens: list[str]
    special_token_removal_method: int
    save_model: bool
    output_dir: str | None
    is_trained: bool

# The id-to-token list, the merges as (first id, second id, merged id) in rank order, the special
# tokens and the pre-tokenization's name ("Whitespace" or "Punctuation").
_ExportedModel = tuple[list[str], list[tuple[int, int, int]], list[str], str]

@type_check_only
class _ModelExporting(Protocol):
    """A `BpeTokenizer` seen with its private export method, which the public stub leaves out."""

    def _export_model(self) -> _ExportedModel | None: ...

def _count_words(tokenizer: BpeTokenizer, data: Buffer, origin: SupportsIndex) -> bytes: ...
def _merge_word_counts(tables: Sequence[Buffer]) -> bytes: ...
def _train_from_word_counts(tokenizer: BpeTokenizer, table: Buffer) -> None: ...
def _safe_block_end(tokenizer: BpeTokenizer, data: Buffer, start: SupportsIndex = 0, at_end: bool = False) -> int: ...
def _cut_margin(tokenizer: BpeTokenizer) -> int: ...
def _set_training_block_bytes(block_bytes: SupportsIndex) -> int: ...
def _training_settings(tokenizer: BpeTokenizer) -> _TrainingSettings: ...
