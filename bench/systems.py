"""What each compared system does for one measurement: train, load, encode and decode.

These functions run inside the child processes that bench/child.py starts, in bench/.venv, so
each import happens only in the child that needs it. Every trainer writes its model files into
`out_dir` within the timed call, since sentencepiece and youtokentome always do.

Vocabulary sizes are whole: the size asked of every trainer, counting the reserved tokens of
sentencepiece (<unk>, <s>, </s>) and youtokentome (<PAD>, <UNK>, <BOS>, <EOS>).
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
TRAINERS = ["wrenmark", "wrenmark-classic", "tokenizers", "sentencepiece", "youtokentome"]


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


# --- loading a trained model into an encoder -----------------------------------------------------
# Each loader returns (encode: str -> list[int], decode: list[int] -> str).


def load_wrenmark(model_dir: str):
    import wrenmark

    tokenizer = wrenmark.BpeTokenizer.from_pretrained(model_dir)
    return (lambda text: tokenizer.encode(text).ids), tokenizer.decode


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


LOADERS = {
    "wrenmark": load_wrenmark,
    "wrenmark-classic": load_wrenmark,
    "tokenizers": load_tokenizers,
    "sentencepiece": load_sentencepiece,
    "youtokentome": load_youtokentome,
    "tiktoken": load_tiktoken,
}
TRAIN = {
    "wrenmark": train_wrenmark,
    "wrenmark-classic": train_wrenmark_classic,
    "tokenizers": train_tokenizers,
    "sentencepiece": train_sentencepiece,
    "youtokentome": train_youtokentome,
}
