"""Many Python threads on one freshly loaded tokenizer get exactly what serial calls get.

encode_batch and decode_batch let go of the interpreter lock while the worker pool runs, so
they overlap with each other and with every other call on the same tokenizer, the first call
included (when the encoding tables are built). Eight threads start together on a tokenizer that
has not encoded anything yet, each running the same mix of calls in its own order, and every
result or error is compared with that of a serial run; this is repeated from a fresh tokenizer.
"""

import os
import random
import threading

import pytest

from wrenmark import BpeTokenizer, PreTokenization

SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
ROUNDS = 3 if SANITIZED else 8
THREADS = 8
ALPHABET = "abcdefghijklmnopqrstuvwxyzéü"


def words(generator, count):
    return ["".join(generator.choice(ALPHABET) for _ in range(generator.randint(1, 10))) for _ in range(count)]


@pytest.fixture(scope="module")
def models(tmp_path_factory):
    directory = tmp_path_factory.mktemp("thread_safety")
    generator = random.Random(3)
    vocabulary = words(generator, 2_000)
    lines = [" ".join(generator.choice(vocabulary) for _ in range(10)) for _ in range(3_000)]
    lines[::50] = [f"<s>{line}</s>" for line in lines[::50]]
    corpus = directory / "corpus.txt"
    corpus.write_text("\n".join(lines), encoding="utf-8")
    made = {}
    for name, merge_all, unknown in [("default", False, None), ("classic", True, None),
                                     ("unknown token", False, "<unk>")]:
        output = directory / name.replace(" ", "_")
        tokenizer = BpeTokenizer(str(corpus), 900, PreTokenization.whitespace(), ["<s>", "</s>", "<unk>"],
                                 save_model=True, output_dir=str(output))
        tokenizer.merge_all_occurrences = merge_all
        tokenizer.unknown_token = unknown
        tokenizer.train()
        made[name] = str(output)
    return made


def operations(model):
    """The calls of one thread, as (name, call on a tokenizer) pairs; seeded, so equal for all."""
    generator = random.Random(11)
    vocabulary = words(generator, 800)
    # Ω and ☃ are in no model: they fail, or become <unk> where the model has it.
    texts = [" ".join(generator.choice(vocabulary) for _ in range(generator.randint(0, 12)))
             + generator.choice(["", "", " <s>x</s>", " Ω", "☃ ab"]) for _ in range(600)]
    known_texts = [text for text in texts if "Ω" not in text and "☃" not in text]
    reference = BpeTokenizer.from_pretrained(model)

    def ids_of(text):
        try:
            return reference.encode(text).ids
        except RuntimeError:
            return [5, 9]

    id_lists = [ids_of(text) for text in texts]
    id_lists += [[0, 1, 950, 2**31], []]

    def encoding(result):
        return [(e.ids, e.tokens, e.token_types, e.original_text) for e in result]

    calls = [
        ("encode_batch", lambda t: encoding(t.encode_batch(known_texts))),
        ("encode_batch with unknown characters", lambda t: encoding(t.encode_batch(texts))),
        ("encode_batch of a part", lambda t: encoding(t.encode_batch(known_texts[100:180]))),
        ("decode_batch", lambda t: t.decode_batch(id_lists)),
        ("repr", repr),
        ("attributes", lambda t: (t.unknown_token, t.merge_all_occurrences, t.show_progress)),
    ]
    for index in range(0, len(texts), 37):
        calls.append((f"encode {index}", lambda t, text=texts[index]: encoding([t.encode(text)])))
        calls.append((f"decode {index}", lambda t, ids=id_lists[index]: t.decode(ids)))
    for token_id in (0, 7, 899, 900, 10**6):
        calls.append((f"get_token_by_id {token_id}", lambda t, i=token_id: t.get_token_by_id(i)))
    for token in ("<s>", "a", "ab</w>", "missing"):
        calls.append((f"get_id_by_token {token}", lambda t, s=token: t.get_id_by_token(s)))
    return calls


def outcome(call, tokenizer):
    try:
        return call(tokenizer)
    except Exception as error:  # noqa: BLE001 - errors are results to compare too
        return (type(error).__name__, str(error))


# Threads switch far more often than by default, so that races show.
pytestmark = pytest.mark.usefixtures("frequent_thread_switches")


@pytest.mark.parametrize("mode", ["default", "classic", "unknown token"])
def test_threads_on_a_fresh_tokenizer_get_the_serial_results(mode, models):
    calls = operations(models[mode])
    serial_tokenizer = BpeTokenizer.from_pretrained(models[mode])
    expected = {name: outcome(call, serial_tokenizer) for name, call in calls}
    assert any(isinstance(value, tuple) and value[0] == "RuntimeError" for value in expected.values())

    for round_number in range(ROUNDS):
        tokenizer = BpeTokenizer.from_pretrained(models[mode])
        start = threading.Barrier(THREADS)
        results = [{} for _ in range(THREADS)]

        def run(thread_index, results=results, tokenizer=tokenizer, start=start, seed=round_number * THREADS):
            order = list(calls)
            random.Random(seed + thread_index).shuffle(order)
            # Half of the threads begin with a batch, the rest with a single call, so that the
            # first call on the tokenizer is of either kind and overlaps with the other.
            if thread_index % 2:
                order.sort(key=lambda item: not item[0].startswith("encode_batch"))
            start.wait()
            for name, call in order:
                results[thread_index][name] = outcome(call, tokenizer)

        threads = [threading.Thread(target=run, args=(index,)) for index in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(60)
            assert not thread.is_alive()
        for thread_results in results:
            assert thread_results.keys() == expected.keys()
            for name, value in expected.items():
                assert thread_results[name] == value, f"{name}, round {round_number}"
