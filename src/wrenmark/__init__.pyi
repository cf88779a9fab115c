from collections.abc import Iterable, Mapping, Sequence
from typing import ClassVar, SupportsIndex, final

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

    def train(self) -> None:
        """Learns the vocabulary and merge rules from the corpus, and saves them if `save_model` is set."""

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

    def get_token_type(self, token: str) -> TokenType:
        """The type of `token` within this encoding; RuntimeError if the encoding lacks it."""

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
