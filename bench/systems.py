"""What each compared system does for one measurement: train, load, encode and decode.

These functions run inside the child processes that bench/child.py starts, in bench/.venv, so
each import happens only in the child that needs it. Every trainer writes its model files into
`out_dir` within the timed call, since sentencepiece and youtokentome always do.

Vocabulary sizes are whole: the size asked of every trainer, counting the reserved tokens of
sentencepiece (<unk>, <s>, </s>) and youtokentome (<PAD>, <UNK>, <BOS>, <EOS>), and the 256 byte
tokens of the byte-level trainers (gigatoken, rustbpe).

Pre-tokenization differs and is each tool's own: wrenmark, tokenizers and youtokentome split on
white space; sentencepiece marks word starts with "▁"; gigatoken's train_bpe splits GPT-2 style
(letters, digits and punctuation apart, a leading blank kept with the word, as its
`pretokenizer()` shows), and its model is loaded with that same scheme ("gpt2"); rustbpe splits
with its default pattern, the GPT-4 one (`get_pattern()`), which tiktoken then encodes with.
"""

from __future__ import annotations

import io
import json
import os
import time
from contextlib import redirect_stdout
from pathlib import Path

END_OF_WORD = "</w>"
# wrenmark-classic is wrenmark with `merge_all_occurrences` set: classic BPE merges.
TRAINERS = ["wrenmark", "wrenmark-classic", "tokenizers", "sentencepiece", "youtokentome", "gigatoken", "rustbpe"]
GIGATOKEN_RANKS = "gigatoken.tiktoken"
RUSTBPE_MODEL = "rustbpe.json"
# The scheme that gigatoken's train_bpe splits with, to encode as it trained.
GIGATOKEN_PRETOKENIZER = "gpt2"
# Lines handed to rustbpe's trainer per refill of its buffer.
RUSTBPE_BUFFER_LINES = 8192


def _timed(function):
    start = time.perf_counter_ns()
    result = function()
    return result, time.perf_counter_ns() - start


# --- training ------------------------------------------------------------------------------------


def train_wrenmark(corpus: str, vocab: int, out_dir: str, merge_all_occurrences: bool = False) -> dict:
    import wrenmark

    tokenizer = wrenmark.BpeTokenizer(
        corpus, vocab, wrenmark.PreTokenization.whitespace(), save_model=True, output_dir=out_dir
    )
    tokenizer.merge_all_occurrences = merge_all_occurrences
    # The module writes its timing lines to the process's own standard output; the parent reads
    # them from there.
    _, elapsed = _timed(tokenizer.train)
    return {"train_ns": elapsed, "vocab_reached": int(repr(tokenizer).split("=")[1].rstrip(")"))}


def train_wrenmark_classic(corpus: str, vocab: int, out_dir: str) -> dict:
    return train_wrenmark(corpus, vocab, out_dir, merge_all_occurrences=True)


def train_tokenizers(corpus: str, vocab: int, out_dir: str) -> dict:
    from tokenizers import Tokenizer, models, pre_tokenizers, trainers

    def run():
        tokenizer = Tokenizer(models.BPE(end_of_word_suffix=END_OF_WORD))
        tokenizer.pre_tokenizer = pre_tokenizers.WhitespaceSplit()
        trainer = trainers.BpeTrainer(
            vocab_size=vocab, end_of_word_suffix=END_OF_WORD, show_progress=False
        )
        tokenizer.train([corpus], trainer)
        tokenizer.save(os.path.join(out_dir, "tokenizer.json"))
        return tokenizer

    tokenizer, elapsed = _timed(run)
    return {"train_ns": elapsed, "vocab_reached": tokenizer.get_vocab_size()}


def train_sentencepiece(corpus: str, vocab: int, out_dir: str) -> dict:
    import sentencepiece

    def run():
        sentencepiece.SentencePieceTrainer.train(
            input=corpus,
            model_prefix=os.path.join(out_dir, "spm"),
            vocab_size=vocab,
            model_type="bpe",
            num_threads=2,
            # Every character of the corpus is in the alphabet, as in the other trainers.
            character_coverage=1.0,
            minloglevel=2,
        )

    _, elapsed = _timed(run)
    processor = sentencepiece.SentencePieceProcessor(model_file=os.path.join(out_dir, "spm.model"))
    return {"train_ns": elapsed, "vocab_reached": processor.get_piece_size()}


def train_youtokentome(corpus: str, vocab: int, out_dir: str) -> dict:
    import youtokentome

    model = os.path.join(out_dir, "yttm.model")
    with redirect_stdout(io.StringIO()):
        _, elapsed = _timed(
            lambda: youtokentome.BPE.train(
                data=corpus, model=model, vocab_size=vocab, n_threads=2, coverage=1.0
            )
        )
    return {"train_ns": elapsed, "vocab_reached": youtokentome.BPE(model).vocab_size()}


def write_rank_file(path: str, ranks: dict[bytes, int]) -> None:
    """The .tiktoken form: one token per line, base64 and rank."""
    import base64

    by_rank = sorted(ranks.items(), key=lambda item: item[1])
    lines = [f"{base64.b64encode(token).decode()} {rank}" for token, rank in by_rank]
    Path(path).write_text("\n".join(lines) + "\n")


def train_gigatoken(corpus: str, vocab: int, out_dir: str) -> dict:
    import gigatoken

    def run():
        # The whole file is one document; train_bpe returns the vocabulary (id to bytes) and the
        # merges. Its progress lines go to standard output, which the parent reads only for
        # wrenmark's timing lines.
        id_to_token, _ = gigatoken.train_bpe(gigatoken.TextFileSource([corpus]), vocab, [])
        write_rank_file(os.path.join(out_dir, GIGATOKEN_RANKS), {token: i for i, token in id_to_token.items()})
        return id_to_token

    id_to_token, elapsed = _timed(run)
    return {"train_ns": elapsed, "vocab_reached": len(id_to_token)}


def train_rustbpe(corpus: str, vocab: int, out_dir: str) -> dict:
    import rustbpe

    def run():
        tokenizer = rustbpe.Tokenizer()
        with open(corpus, encoding="utf-8") as lines:
            tokenizer.train_from_iterator(lines, vocab, buffer_size=RUSTBPE_BUFFER_LINES)
        model = {"pattern": tokenizer.get_pattern(),
                 "ranks": {token.hex(): rank for token, rank in tokenizer.get_mergeable_ranks()}}
        Path(out_dir, RUSTBPE_MODEL).write_text(json.dumps(model))
        return tokenizer

    tokenizer, elapsed = _timed(run)
    return {"train_ns": elapsed, "vocab_reached": tokenizer.vocab_size}


# --- loading a trained model into an encoder -----------------------------------------------------
# Each loader returns (encode: str -> list[int], decode: list[int] -> str), and wrenmark's a third
# function, the body of the one-call-per-line loop.


def load_wrenmark(model_dir: str):
    import wrenmark

    tokenizer = wrenmark.BpeTokenizer.from_pretrained(model_dir)

    def encode_lines(lines: list[str]) -> None:
        # The loop a user writes, with no wrapper call per line. It takes `.ids`, as the baseline
        # module (which has no ids_buffer) must, so that both run the same loop body.
        encode = tokenizer.encode
        for line in lines:
            _ = encode(line).ids

    # The ids as a buffer where the Encoder has one, as numpy arrays are for the peers that give them.
    if hasattr(wrenmark.Encoder, "ids_buffer"):
        return (lambda text: tokenizer.encode(text).ids_buffer), tokenizer.decode, encode_lines
    return (lambda text: tokenizer.encode(text).ids), tokenizer.decode, encode_lines


def load_wrenmark_baseline(model_dir: str):
    """wrenmark as built from the baseline commit, which the parent puts first on PYTHONPATH."""
    import wrenmark

    baseline_site = os.environ.get("PYTHONPATH", "").split(os.pathsep)[0]
    if not baseline_site or not Path(wrenmark.__file__).resolve().is_relative_to(Path(baseline_site).resolve()):
        raise RuntimeError(f"wrenmark came from {wrenmark.__file__}, not from the baseline's {baseline_site!r}")
    return load_wrenmark(model_dir)


def load_tokenizers(tokenizer_json: str):
    from tokenizers import Tokenizer

    tokenizer = Tokenizer.from_file(tokenizer_json)
    return (lambda text: tokenizer.encode(text).ids), tokenizer.decode


def load_sentencepiece(model_dir: str):
    import sentencepiece

    processor = sentencepiece.SentencePieceProcessor(model_file=os.path.join(model_dir, "spm.model"))
    return processor.encode, processor.decode


def load_youtokentome(model_dir: str):
    import youtokentome

    model = youtokentome.BPE(os.path.join(model_dir, "yttm.model"), n_threads=1)
    return (lambda text: model.encode([text])[0]), (lambda ids: model.decode([ids])[0])


def load_tiktoken(ranks_json: str):
    import convert

    encoding = convert.tiktoken_encoding(json.loads(Path(ranks_json).read_text()))
    return encoding.encode_ordinary, encoding.decode


def gigatoken_tokenizer(model_dir: str):
    import gigatoken

    return gigatoken.Tokenizer.from_tiktoken(os.path.join(model_dir, GIGATOKEN_RANKS),
                                             pretokenizer=GIGATOKEN_PRETOKENIZER)


def load_gigatoken(model_dir: str):
    tokenizer = gigatoken_tokenizer(model_dir)
    return tokenizer.encode, (lambda ids: tokenizer.decode(ids).decode("utf-8", errors="replace"))


def rustbpe_model(model_dir: str) -> tuple[str, dict[bytes, int]]:
    model = json.loads(Path(model_dir, RUSTBPE_MODEL).read_text())
    return model["pattern"], {bytes.fromhex(token): rank for token, rank in model["ranks"].items()}


def load_tiktoken_of_rustbpe(model_dir: str):
    """rustbpe's model in tiktoken, the encoder it is made for."""
    import tiktoken

    pattern, ranks = rustbpe_model(model_dir)
    encoding = tiktoken.Encoding(name="rustbpe", pat_str=pattern, mergeable_ranks=ranks, special_tokens={})
    return encoding.encode_ordinary, encoding.decode


LOADERS = {
    "wrenmark": load_wrenmark,
    "wrenmark-classic": load_wrenmark,
    "wrenmark-baseline": load_wrenmark_baseline,
    "tokenizers": load_tokenizers,
    "sentencepiece": load_sentencepiece,
    "youtokentome": load_youtokentome,
    "tiktoken": load_tiktoken,
    "gigatoken": load_gigatoken,
    "rustbpe": load_tiktoken_of_rustbpe,
}
TRAIN = {
    "wrenmark": train_wrenmark,
    "wrenmark-classic": train_wrenmark_classic,
    "tokenizers": train_tokenizers,
    "sentencepiece": train_sentencepiece,
    "youtokentome": train_youtokentome,
    "gigatoken": train_gigatoken,
    "rustbpe": train_rustbpe,
}
