import os
from collections.abc import Iterable, Mapping, Sequence
from typing import ClassVar, Literal, SupportsIndex, final, type_check_only

__all__ = ["BpeTokenizer", "PreTokenization", "SpecialTokenRemovalMethod", "Encoder", "TokenType"]

@final
class BpeTokenizer:
    """A byte-pair-encoding tokenizer: its settings, and the model that training or loading gives it."""

    def __new__(
        cls,
        input_path: str,
        target_vocab_size: SupportsIndex,
        pretokenization_type: PreTokenization,
        special_tokens: Sequence[str] = ...,
        special_token_removal_method: SpecialTokenRemovalMethod | None = None,
        save_model: bool = False,
        output_dir: str | None = None,
    ) -> BpeTokenizer:
        """Makes an untrained tokenizer that `train()` fits to the UTF-8 corpus at `input_path`."""

    merge_all_occurrences: bool
    """Whether `train()` merges every occurrence of each chosen pair, as classic BPE does (default False)."""

    min_frequency: int
    """Training stops merging once the best pair occurs fewer times than this (default 0)."""
    max_token_length: int | None
    """Training merges no pair whose token would have more characters than this, "</w>" not counted, or None."""

    def train(self) -> None:
        """Learns the vocabulary and merge rules from the corpus, and saves them if `save_model` is set."""

    def continue_training(
        self, source: str | os.PathLike[str] | Iterable[str], target_vocab_size: SupportsIndex
    ) -> BpeTokenizer:
        """A new tokenizer whose model goes on from this one's on the corpus `source` up to `target_vocab_size`.

        `source` is a corpus file, or an iterable of str trained on as their text joined by line
        feeds. The new model keeps every token id and merge rule of this one, in order, as a
        prefix; the corpus words are spelled with those merges as encoding applies them,
        characters this model lacks get the next ids, then merging goes on in this tokenizer's
        merge mode and limits. The new tokenizer has this one's settings with the new target
        size, and saves its model to `output_dir` when `save_model` is set, as `train()` does.
        This tokenizer is left unchanged.
        """

    def train_from_iterator(self, iterator: Iterable[str | Sequence[str]], length: SupportsIndex | None = None) -> None:
        """Trains as `train()` would on a file holding the texts joined by line feeds.

        A list of texts is a batch, each text one item. The items are read as they come; `length`,
        the number of texts, gives the progress a total.
        """

    def train_from_word_counts(self, counts: Mapping[str, int] | Iterable[tuple[str, int]]) -> None:
        """Trains as `train()` would on a corpus holding these words of its pre-tokenization this often, in order."""

    def encode(self, text: str) -> Encoder:
        """Splits `text` into tokens of the vocabulary, special tokens kept whole."""

    def decode(self, ids: Sequence[SupportsIndex]) -> str:
        """The text that the token ids stand for."""

    def get_id_by_token(self, token: str) -> int:
        """The id of `token` in the vocabulary; RuntimeError if it has none."""

    def get_token_by_id(self, id: SupportsIndex) -> str:
        """The token that has id `id`; RuntimeError if no token has it."""

    @staticmethod
    def from_pretrained(files_path: str) -> BpeTokenizer:
        """Loads a trained tokenizer from the model directory that saving wrote."""

    def encode_batch(self, texts: Sequence[str]) -> list[Encoder]:
        """`[encode(t) for t in texts]` on all cores, without the interpreter lock.

        A failure names the text: "text 3: ...".
        """

    def encode_batch_padded(
        self,
        texts: Sequence[str],
        *,
        max_length: SupportsIndex | None = None,
        padding: Literal["longest", "max_length"] = "longest",
        pad_to_multiple_of: SupportsIndex | None = None,
        pad_id: SupportsIndex | None = None,
        padding_side: Literal["right", "left"] = "right",
        truncation_side: Literal["right", "left"] = "right",
        prefix_ids: Sequence[SupportsIndex] = (),
        suffix_ids: Sequence[SupportsIndex] = (),
        dtype: Literal["int64", "int32", "uint32"] = "int64",
    ) -> PaddedBatch:
        """The ids of every text as one padded matrix, built on all cores without the interpreter lock.

        Each row is `prefix_ids`, the text's ids cut to fit `max_length` (keeping the start, or the
        end with `truncation_side="left"`) and `suffix_ids`, padded with `pad_id` on `padding_side`
        to the longest row or to `max_length`, rounded up to a multiple of `pad_to_multiple_of`.
        `pad_id` may be None only when no row needs padding. ValueError for an id that is not a
        token, a negative length, or a prefix and suffix longer than `max_length`.
        """

    def decode_batch(self, ids_batch: Sequence[Sequence[SupportsIndex]]) -> list[str]:
        """`[decode(ids) for ids in ids_batch]` on all cores, without the interpreter lock.

        A failure names the list: "ids 3: ...".
        """

    def save(self, output_dir: str) -> None:
        """Writes the model directory of a trained or loaded tokenizer, as `train()` does with `save_model=True`."""

    def __copy__(self) -> BpeTokenizer:
        """A tokenizer with the same settings that shares the model, which never changes."""

    def __deepcopy__(self, memo: dict[int, object]) -> BpeTokenizer:
        """As `__copy__`: the settings are copied and the model is shared."""

    unknown_token: str | None
    """The special token that encodes characters the vocabulary lacks; None makes them an error."""
    show_progress: bool
    """Whether `train()` shows its progress on standard error."""
    byte_fallback: bool
    """Whether the vocabulary holds the 256 byte tokens "<0x00>" ... "<0xFF>" (read by `train()`), so that
    characters without a token encode as the byte tokens of their UTF-8 bytes (default False)."""
    dropout: float
    """The probability in [0, 1) with which encoding skips each merge that could apply (default 0)."""
    dropout_seed: int | None
    """The seed of dropout's draws, or None for fresh draws on every call (default None)."""

    @property
    def target_vocab_size(self) -> int:
        """The vocabulary size at which training stops merging."""

    @property
    def pretokenization_type(self) -> PreTokenization:
        """How text is split into words (a new object on every read)."""

    @property
    def special_tokens(self) -> list[str]:
        """The special tokens, in the order given (a new list on every read)."""

    @property
    def special_token_removal_method(self) -> SpecialTokenRemovalMethod:
        """How training cuts the special tokens out of the corpus (a new object on every read)."""

    @property
    def vocab_size(self) -> int:
        """The number of tokens in the vocabulary (0 before training)."""

    @property
    def merge_count(self) -> int:
        """The number of merge rules (0 before training)."""

@final
class PreTokenization:
    """How a text is split into words before merging."""

    @staticmethod
    def whitespace() -> PreTokenization:
        """Words are the runs of text between whitespace."""

    @staticmethod
    def punctuation() -> PreTokenization:
        """Words are split at whitespace and punctuation."""

    @property
    def name(self) -> str:
        """The variant's name: Whitespace or Punctuation."""

@final
class SpecialTokenRemovalMethod:
    """How special tokens are cut out of the corpus before counting words."""

    @staticmethod
    def simple() -> SpecialTokenRemovalMethod:
        """One search per special token."""

    @staticmethod
    def aho_corasick() -> SpecialTokenRemovalMethod:
        """One pass over the corpus that finds every special token at once."""

    @property
    def name(self) -> str:
        """The variant's name: Simple or AhoCorasick."""

@final
class Encoder:
    """The result of `BpeTokenizer.encode`: the tokens of a text, their ids and types."""

    @property
    def original_text(self) -> str:
        """The text that was encoded."""

    @property
    def tokens(self) -> list[str]:
        """The tokens, in text order (a new list on every read)."""

    @property
    def ids(self) -> list[int]:
        """The id of each token (a new list on every read)."""

    @property
    def token_types(self) -> list[TokenType]:
        """The type of each token (a new list on every read)."""

    @property
    def offsets(self) -> list[tuple[int, int]]:
        """The (start, end) of each token in `original_text`, in code points (a new list on every read).

        `original_text[start:end]` is the token without "</w>"; "</w>" alone covers the empty span at
        its word's end, the unknown token its unseen character, a special token itself. ValueError
        on an Encoder rebuilt from a pickle.
        """

    @property
    def word_ids(self) -> list[int | None]:
        """The index of each token's word in the text, None for a special token (a new list on every read).

        Words are counted as pre-tokenization splits the text, every special token counting as one.
        ValueError on an Encoder rebuilt from a pickle.
        """

    @property
    def ids_buffer(self) -> memoryview:
        """The ids as a read-only memoryview of format "I" (uint32), without a Python int per id."""

    def get_token_type(self, token: str) -> TokenType:
        """The type of `token` within this encoding; RuntimeError if the encoding lacks it."""

@final
@type_check_only
class PaddedBatch:
    """The result of `BpeTokenizer.encode_batch_padded` (not importable: reach it as `type(result)`).

    Each attribute is a new writable memoryview of the same C-contiguous array, of the dtype asked for,
    which `numpy.asarray` and `torch.frombuffer` take without a copy.
    """

    @property
    def ids(self) -> memoryview:
        """The ids, rows x width."""

    @property
    def attention_mask(self) -> memoryview:
        """1 where a row holds a token, 0 where it is padding, rows x width."""

    @property
    def lengths(self) -> memoryview:
        """The number of tokens of every row, prefix and suffix included."""

@final
class TokenType:
    """What a token is: a whole word, a piece of a word, or a special token."""

    WORD: ClassVar[TokenType]
    """A token that is a whole word."""
    SUBWORD: ClassVar[TokenType]
    """A token that is a piece of a longer word."""
    SPECIALTOKEN: ClassVar[TokenType]
    """One of the tokenizer's special tokens."""
    __hash__: ClassVar[None]  # type: ignore[assignment]
    """Token types are not hashable."""

    def __int__(self) -> int:
        """The type's number: 0 for WORD, 1 for SUBWORD, 2 for SPECIALTOKEN."""

    def __eq__(self, value: object, /) -> bool:
        """Equal to the same type, or to its number."""

    def __ne__(self, value: object, /) -> bool:
        """The negation of `==`."""
