"""The comparison benchmark's own logic: converting our model, the held-out text, the verdicts."""

import json
import random
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))
import compare  # noqa: E402
import convert  # noqa: E402
import report  # noqa: E402


@pytest.fixture
def model_dir(tmp_path):
    """The model of the worked example: low, lower, low with three merges."""
    tokens = ["l", "o", "w", "e", "r", "</w>", "ow", "low", "low</w>", "\u00e9"]
    (tmp_path / "token_table.json").write_text(json.dumps(
        {"id_to_token": tokens, "token_to_id": {t: i for i, t in enumerate(tokens)}}))
    (tmp_path / "merge_rules.json").write_text(json.dumps([[1, 2], [0, 6], [7, 5]]))
    return tmp_path


def test_tiktoken_ranks_follow_our_merge_order(model_dir):
    ranks = [bytes.fromhex(text) for text in convert.tiktoken_ranks(model_dir)]
    assert ranks[:256] == [bytes([value]) for value in range(256)]
    # The two-byte character needs its own rank to be encoded whole; the merges follow in order,
    # the end-of-word marker turned into the space that follows a word.
    assert ranks[256:] == ["\u00e9".encode(), b"ow", b"low", b"low "]
    assert len(set(ranks)) == len(ranks)


def test_held_out_keeps_only_lines_of_known_characters(tmp_path):
    source = tmp_path / "heldout.txt"
    source.write_text("low lower\nlow\u00a0w\u00e9\nr\tol\n\nxyz", encoding="utf-8")
    stats = compare.held_out_within({"l", "o", "w", "e", "r"}, tmp_path / "out.txt", source)
    assert (tmp_path / "out.txt").read_text(encoding="utf-8") == "low lower\nr\tol\n"
    assert stats == {"path": str(tmp_path / "out.txt"), "lines": 3, "lines_dropped": 2,
                     "bytes": 15, "words": 4}


def training_entry(system, corpus, corpus_bytes, walls, rss):
    return {"system": system, "corpus": corpus, "corpus_bytes": corpus_bytes, "vocab": 32000,
            "runs": [{"train_ns": wall, "cpu_ns": wall, "peak_rss_kib": rss, "vocab_reached": 32000}
                     for wall in walls]}


def a_run(ours_100mb_walls, ours_1gb_wall, ours_encode_ns, load_ns):
    encoders = {
        "wrenmark": ours_encode_ns,
        "tokenizers (same merges)": [500_000_000] * 3,
        "tokenizers (suffix </w>)": [400_000_000] * 3,
    }
    return {
        "training": [
            training_entry("wrenmark", "100MB", 100_000_000, ours_100mb_walls, 400_000),
            training_entry("tokenizers", "100MB", 100_000_000, [40e9, 30e9, 50e9], 900_000),
            training_entry("sentencepiece", "100MB", 100_000_000, [11e9], 600_000),
            training_entry("wrenmark", "1GB", 1_000_000_000, [ours_1gb_wall], 3_000_000),
        ],
        "encoding": {
            "text": {"bytes": 1_000_000},
            "encoders": {name: [{"encode_ns": ns, "decode_ns": ns, "cold_encode_ns": ns[0],
                                 "tokens": 1000, "decoded_bytes": 1_000_000}]
                         for name, ns in encoders.items()},
            "agreement": {name: {"same_ids": name != "tokenizers (suffix </w>)"} for name in encoders},
        },
        "loading": {"loaders": {"wrenmark": [{"load_ns": load_ns}]}},
    }


@pytest.mark.parametrize(
    "ours_100mb, ours_1gb, ours_encode, load, verdicts",
    [
        # Medians decide: 10 s of tokenizers' 40 s, 1 GB at 1.2 times the time per MB.
        ([9e9, 10e9, 30e9], 120e9, [100_000_000] * 3, [20e6, 90e6, 30e6],
         ["met", "met", "met", "met", "met", "met"]),
        # 21 s is more than half of 40 s and above sentencepiece's 11 s; 1 GB at 1.6 times; the
        # encoder is measured against the faster tokenizers set-up (400 ms), 250 ms is not half.
        ([21e9], 336e9, [250_000_000], [60e6],
         ["not met", "not met", "met", "not met", "not met", "not met"]),
    ],
)
def test_target_verdicts(ours_100mb, ours_1gb, ours_encode, load, verdicts):
    rows = report.targets(a_run(ours_100mb, ours_1gb, ours_encode, load))
    assert [row[2] for row in rows] == verdicts


def test_spread_shows_the_median_and_the_extremes():
    assert report.spread([3e9, 1e9, 2e9]) == "2.00 s (1.00 s–3.00 s)"
    assert report.spread([12_500_000]) == "12.5 ms"
    assert report.throughput(1.0, [500_000_000, 250_000_000, 1_000_000_000]) == "2.0 (1.0–4.0)"


def a_classic_run(classic_walls, quality_tokens, default_walls=(1e9, 1.2e9, 1.1e9)):
    """A 10MB run with both wrenmark modes and two peers; quality_tokens: system -> tokens at 8k."""
    return {
        "vocab": 32000,
        "training": [
            training_entry("wrenmark", "10MB", 10_000_000, list(default_walls), 130_000),
            training_entry("wrenmark-classic", "10MB", 10_000_000, classic_walls, 110_000),
            training_entry("tokenizers", "10MB", 10_000_000, [6e9], 300_000),
            training_entry("sentencepiece", "10MB", 10_000_000, [1.9e9], 160_000),
        ],
        "quality": [{"corpus": "10MB", "vocab": 8000, "text": {"words": 1000, "bytes": 6000},
                     "systems": {name: {"tokens": tokens} for name, tokens in quality_tokens.items()}}],
    }


@pytest.mark.parametrize(
    "classic_walls, quality_tokens, verdicts",
    [
        # 1.3 s is 1.18 times the default's median 1.1 s, below sentencepiece; 1,800 tokens are
        # 1.029 times youtokentome's 1,750, the better of the two peers; sentencepiece is not one.
        ([1.3e9, 1.4e9, 1.2e9], {"wrenmark": 2500, "wrenmark-classic": 1800, "tokenizers": 1790,
                                 "youtokentome": 1750, "sentencepiece": 1500}, ["met", "met", "met"]),
        ([1.4e9], {"wrenmark-classic": 1810, "tokenizers": 1750}, ["not met", "met", "not met"]),
        ([2e9], {"wrenmark-classic": 1000, "sentencepiece": 1000}, ["not met", "not met"]),
    ],
)
def test_classic_target_verdicts(classic_walls, quality_tokens, verdicts):
    rows = report.classic_targets(a_classic_run(classic_walls, quality_tokens))
    assert [row[2] for row in rows] == verdicts


def test_classic_time_target_takes_the_rounds_ratios():
    # Medians 1.4 s against 1.1 s are 1.27 times; the rounds' ratios 1.15, 1.09 and 1.27 have the
    # median 1.15: one slow spell in the third round does not decide.
    run = a_classic_run([1.15e9, 1.75e9, 1.4e9], {"wrenmark-classic": 1000}, default_walls=(1e9, 1.6e9, 1.1e9))
    assert report.classic_targets(run)[0][2] == "met"


def a_naive_run(walls_1gb, naive_walls, rss_kib):
    """Both wrenmark modes at 1 GB and 100 MB beside the naive loop, which ran at 1 GB only."""
    return {
        "vocab": 32000,
        "training": [training_entry(system, size, corpus_bytes, walls_1gb[system] if size == "1GB" else [1e9], rss_kib)
                     for system in ["wrenmark", "wrenmark-classic"]
                     for size, corpus_bytes in [("100MB", 100_000_000), ("1GB", 1_000_000_000)]],
        "naive_count": [{"corpus": "1GB", "corpus_bytes": 1_000_000_000,
                         "runs": [{"wall_ns": wall, "cpu_ns": wall, "peak_rss_kib": 2000, "distinct_words": 854}
                                  for wall in naive_walls]}],
    }


@pytest.mark.parametrize("walls_1gb, naive_walls, rss_mib, verdicts", [
    # Per-round ratios 0.3, 0.25, 0.2 have the median of a quarter exactly; 0.305, 0.208, 0.3 are
    # more; 339 MiB is the limit.
    ({"wrenmark": [6e9, 6e9, 6e9], "wrenmark-classic": [6.1e9, 5e9, 9e9]}, [20e9, 24e9, 30e9], 339,
     ["met", "met", "not met", "met"]),
    # The rounds decide, not the medians: 6 s against 21 s is more than a quarter, but the rounds'
    # ratios are 0.233, 0.3 and 0.214.
    ({"wrenmark": [7e9, 6e9, 4.5e9], "wrenmark-classic": [7e9, 6e9, 4.5e9]}, [30e9, 20e9, 21e9], 300,
     ["met", "met", "met", "met"]),
    ({"wrenmark": [3e9], "wrenmark-classic": [4e9]}, [24e9], 340, ["met", "not met", "met", "not met"]),
])
def test_naive_loop_target_verdicts(walls_1gb, naive_walls, rss_mib, verdicts):
    rows = report.naive_targets(a_naive_run(walls_1gb, naive_walls, rss_mib * 1024))
    assert [row[2] for row in rows] == verdicts


def test_runs_without_the_naive_loop_have_no_naive_target_and_no_ratio():
    run = a_naive_run({"wrenmark": [6e9], "wrenmark-classic": [6e9]}, [24e9], 300 * 1024)
    del run["naive_count"]
    assert report.naive_targets(run) == []
    assert report.naive_ratio(run, "wrenmark", "1GB") is None


def test_training_table_sets_every_training_beside_the_naive_loop_of_its_corpus():
    run = a_naive_run({"wrenmark": [6e9], "wrenmark-classic": [12e9]}, [24e9], 300 * 1024)
    cells = [[cell.strip() for cell in line.strip("|").split("|")] for line in report.training_table(run).splitlines()[2:]]
    rows = {(row[0], row[1]): row[4] for row in cells}
    assert rows[("1GB", "wrenmark")] == "0.25"
    assert rows[("1GB", "wrenmark-classic")] == "0.50"
    assert rows[("100MB", "wrenmark")] == "-"  # no naive loop on that corpus
    assert rows[("1GB", report.NAIVE)] == "1.00"


@pytest.mark.skipif(not compare.NAIVE_COUNT.is_file(), reason="the naive loop is built by scripts/setup_bench_venv.sh")
def test_naive_loop_counts_the_words_that_python_splits(tmp_path):
    """Over 16 MiB, with a word straddling the loop's first chunk end; built from one piece of
    text repeated, so that this process stays small."""
    rng = random.Random(5)
    stems = ["".join(rng.choice("ab\u00e9") for _ in range(rng.randint(1, 12))) for _ in range(20_000)]
    words = rng.choices(stems, k=200_000)
    separators = rng.choices([" ", "\n", "\t", "  ", "\r\n", "\x0b", "\x0c"], k=len(words))
    piece = "".join(word + separator for word, separator in zip(words, separators)).encode("utf-8")
    copies = (16 << 20) // len(piece) + 1
    chunk_end = 16 << 20
    # Blanks in front move the chunk end between two bytes of one word.
    lead = next(n for n in range(1, 64)
                if all(piece[(chunk_end + side - n) % len(piece)] not in b" \n\t\r\x0b\x0c" for side in (-1, 0)))
    corpus = tmp_path / "corpus.txt"
    with open(corpus, "wb") as out:
        out.write(b" " * lead)
        for _ in range(copies):
            out.write(piece)
        out.write(b"tail")
    result = compare.run_naive_count(corpus)
    expected = piece.split()
    assert (result["bytes"], result["words"], result["distinct_words"]) == (
        lead + copies * len(piece) + 4, copies * len(expected) + 1, len(set(expected) | {b"tail"}))


def an_encoding_run(cold_ns, lines_ns):
    """Whole-text first calls and per-line loops of a 1 MB text, by encoder name; every other
    figure of an encoder is the same for all."""
    names = set(cold_ns) | set(lines_ns)
    return {"encoding": {
        "text": {"bytes": 1_000_000},
        "baseline_commit": "f05a418",
        "encoders": {name: [{"cold_encode_ns": cold, "encode_ns": [10_000_000], "decode_ns": [10_000_000],
                             "lines_encode_ns": lines_ns.get(name, []), "tokens": 1000, "decoded_bytes": 1_000_000}
                            for cold in cold_ns.get(name, [10_000_000])]
                      for name in names},
        "agreement": {name: {"same_ids": True} for name in names},
    }}


@pytest.mark.parametrize("cold_ns, lines_ns, verdicts", [
    # gigatoken's first call takes 100 ms: 50 ms is twice its speed; 100 ms a line loop beside the
    # baseline's 200 ms is twice its throughput, beside 190 ms it is not; the default mode's
    # 50 ms is 1.11 times the classic's 45 ms.
    ({"wrenmark": [50e6], "wrenmark-classic": [45e6], "gigatoken (own model)": [100e6]},
     {"wrenmark": [100e6], "wrenmark-baseline": [200e6], "wrenmark-classic": [100e6],
      "wrenmark-baseline-classic": [190e6]},
     ["met", "met", "met", "not met", "met", "met"]),
    # Medians over the processes decide: 60 ms is not half of 100 ms; 1.2 times is within.
    ({"wrenmark": [40e6, 60e6, 70e6], "wrenmark-classic": [50e6], "gigatoken (own model)": [100e6]},
     {"wrenmark": [90e6, 110e6, 100e6], "wrenmark-baseline": [300e6, 100e6, 200e6], "wrenmark-classic": [100e6]},
     ["not met", "met", "met", "met", "met"]),
    # Without gigatoken and the baseline, only the two modes side by side.
    ({"wrenmark": [61e6], "wrenmark-classic": [50e6]}, {"wrenmark": [130e6], "wrenmark-classic": [100e6]},
     ["not met", "not met"]),
])
def test_encoding_target_verdicts(cold_ns, lines_ns, verdicts):
    assert [row[2] for row in report.encoding_targets(an_encoding_run(cold_ns, lines_ns))] == verdicts


def test_the_per_line_target_takes_the_ratio_within_each_round():
    # Twice the baseline's throughput in two rounds of three and 1.92 times in the third: met,
    # where the medians over all processes (120 against 230 ms) would not be.
    run = an_encoding_run({"wrenmark": [10e6] * 3, "wrenmark-baseline": [10e6] * 3}, {})
    for name, times in [("wrenmark", [100e6, 300e6, 120e6]), ("wrenmark-baseline", [200e6, 600e6, 230e6])]:
        for process, lines_ns in zip(run["encoding"]["encoders"][name], times):
            process["lines_encode_ns"] = [lines_ns]
    [row] = [row for row in report.encoding_targets(run) if "per line" in row[0]]
    assert row[1].endswith("2.00×") and row[2] == "met"


def test_line_loop_rounds_decide_the_per_line_targets():
    # The encoding section says 1.5x the baseline and the default mode at 1.5 times the classic
    # one; the rounds of line loops, which decide, say 2.0x (2.2, 2.0, 1.9) and 1.1 times.
    run = an_encoding_run({}, {"wrenmark": [150e6], "wrenmark-baseline": [225e6], "wrenmark-classic": [100e6],
                               "wrenmark-baseline-classic": [150e6]})
    run["line_loops"] = {"rounds": 3, "baseline_commit": "f05a418", "encoders": {
        "wrenmark": [[100e6, 90e6, 110e6], [200e6], [100e6]], "wrenmark-baseline": [[220e6], [400e6], [190e6]],
        "wrenmark-classic": [[91e6], [182e6], [90e6]], "wrenmark-baseline-classic": [[200e6], [400e6], [180e6]]}}
    rows = [row for row in report.encoding_targets(run) if "per line" in row[0]]
    assert [(row[1].split(": ")[-1], row[2]) for row in rows] == [("2.00×", "met"), ("2.20×", "met"), ("1.10×", "met")]


def test_first_call_rounds_decide_by_per_round_ratios():
    # gigatoken takes 2.33, 2 and 1.83 times wrenmark's time in the three rounds, a median of 2,
    # where the medians' ratio (110 / 60) is not; the default mode takes 1.11 to 1.2 times the
    # classic one. The encoding section's own first calls, which would fail both, no longer decide.
    run = an_encoding_run({"wrenmark": [100e6], "wrenmark-classic": [50e6], "gigatoken (own model)": [100e6]},
                          {"wrenmark": [100e6], "wrenmark-classic": [100e6]})
    run["first_calls"] = {"rounds": 3, "encoders": {
        name: {"cold_encode_ns": times, "load_ns": [5e6] * 3}
        for name, times in [("wrenmark", [30e6, 100e6, 60e6]), ("wrenmark-classic", [27e6, 90e6, 50e6]),
                            ("gigatoken (own model)", [70e6, 200e6, 110e6])]}}
    rows = report.encoding_targets(run)
    first_call_rows = [row for row in rows if "first call" in row[1] or "first call" in row[0]]
    assert [(row[1].split(": ")[-1], row[2]) for row in first_call_rows] == [
        ("2.00×", "met"), ("2.22×", "met"), ("1.11×", "met")]
    assert any("| wrenmark | " in line for line in report.first_call_section(run))


def a_batch_run(rounds):
    """bench/batch_encoding.py's report of both modes and gigatoken; rounds: row key -> seconds."""
    labels = {"loop": "wrenmark encode loop", "batch": "wrenmark encode_batch",
              "classic loop": "wrenmark-classic encode loop", "classic batch": "wrenmark-classic encode_batch",
              "gigatoken": "gigatoken encode_batch"}
    return {"batch_encoding": {
        "megabytes": 1.0, "threads": 2, "gigatoken": labels["gigatoken"],
        "modes": {"wrenmark": {"loop": labels["loop"], "batch": labels["batch"]},
                  "wrenmark-classic": {"loop": labels["classic loop"], "batch": labels["classic batch"]}},
        "rounds": {labels[key]: seconds for key, seconds in rounds.items()},
    }}


@pytest.mark.parametrize("rounds, verdicts", [
    # Per-round ratios decide: the loop over the batch is 2, 2 and 1.67 in the rounds, a median of
    # 2, where the medians' ratio (1.0 / 0.6) is below 1.9; gigatoken's 1.0 s and 1.2 s against
    # 0.5 s and 0.6 s are twice; the default mode's batch takes 1.2 times the classic one's.
    ({"loop": [1.0, 2.0, 1.0], "batch": [0.5, 1.0, 0.6], "classic loop": [1.0, 1.0, 1.0],
      "classic batch": [0.5, 0.5, 0.5], "gigatoken": [1.0, 2.0, 1.2]},
     ["met", "met", "met", "met", "met"]),
    # A batch at 1.8 times the loop; gigatoken at 1.2 and 1.5 times the two batches' times; the
    # default's batch 1.25 times the classic's.
    ({"loop": [0.9], "batch": [0.5], "classic loop": [0.8], "classic batch": [0.4], "gigatoken": [0.6]},
     ["not met", "not met", "met", "not met", "not met"]),
])
def test_batch_target_verdicts(rounds, verdicts):
    assert [row[2] for row in report.batch_targets(a_batch_run(rounds))] == verdicts


def test_runs_without_batch_encoding_have_no_batch_targets():
    assert report.batch_targets({}) == []


@pytest.mark.parametrize("trained, built", [(["wrenmark", "wrenmark-classic"], True), (["wrenmark"], True),
                                            (["wrenmark", "wrenmark-classic"], False)])
def test_the_report_finds_the_baseline_encoder_of_each_mode(tmp_path, monkeypatch, trained, built):
    stamp = tmp_path / ".built-from"
    if built:
        stamp.write_text("f05a418\n")
    monkeypatch.setattr(compare, "BASELINE_STAMP", stamp)
    encoders = compare.our_encoders("100MB", trained + ["tokenizers"])
    modes = [mode for mode in report.MODES if mode in trained]
    baselines = {report.baseline_of(mode): mode for mode in modes} if built else {}
    assert set(encoders) == set(modes) | set(baselines)
    for name, (system, model, reference) in encoders.items():
        mode = baselines.get(name, name)
        assert (system, model, reference) == ("wrenmark-baseline" if name in baselines else mode,
                                              str(compare.model_dir("100MB", mode)), mode)


@pytest.mark.parametrize("system, label, runs", [
    ("gigatoken", "1GB", 1), ("wrenmark", "1GB", 3), ("gigatoken", "100MB", 5), ("wrenmark", "10MB", 5)])
def test_repetitions_by_system_and_size(system, label, runs):
    repeats = {"default": 5, "1GB": 3, ("gigatoken", "1GB"): 1, ("tokenizers", "1GB"): 1}
    assert compare.repetitions(repeats, system, label) == runs
