"""The benchmark helpers: corpus building and reading the timing lines of training."""

import os
import resource
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))
import corpus  # noqa: E402
import train_phases  # noqa: E402


@pytest.mark.parametrize(
    "text, ns",
    [
        ("2.5s", 2_500_000_000),
        ("3s", 3_000_000_000),
        ("1.000000001s", 1_000_000_001),
        ("12.345678ms", 12_345_678),
        ("1ms", 1_000_000),
        ("35.2\u00b5s", 35_200),
        ("999.999\u00b5s", 999_999),
        ("800ns", 800),
    ],
)
def test_durations_are_read_exactly(text, ns):
    assert train_phases.parse_duration_ns(text) == ns


@pytest.mark.parametrize("text", ["1.5 ms", "35.2\u03bcs", "12", "ms", "-3s"])
def test_malformed_durations_are_refused(text):
    with pytest.raises(ValueError):
        train_phases.parse_duration_ns(text)


def test_timing_lines_are_found_among_other_output():
    stdout = (
        "removing special tokens took time: 35.2\u00b5s\n"
        "vocab builder took time: 1.25s\n"
        "build initial pair took time: 800ns\n"
        "targeted vocab size not reached as no more pairs to merge "
    )
    assert train_phases.parse_timing_lines(stdout) == {
        "removal": 35_200,
        "vocab_builder": 1_250_000_000,
        "initial_pairs": 800,
    }


@pytest.mark.parametrize(
    "text, size", [("10MB", 10**7), ("1GB", 10**9), ("512kb", 512_000), ("2.5MB", 2_500_000)]
)
def test_sizes_use_decimal_units_and_round_trip_to_labels(text, size):
    assert corpus.parse_size(text) == size
    assert corpus.parse_size(corpus.size_label(size)) == size


def test_corpus_repeats_the_pool_and_ends_at_a_line_end(tmp_path):
    pool = b"alpha beta\ngamma\ndelta epsilon\n"  # 31 bytes
    path = tmp_path / "corpus.txt"
    written = corpus.write_corpus(pool, 2 * len(pool) + 20, path)
    assert path.read_bytes() == pool + pool + b"alpha beta\ngamma\n"
    assert written == path.stat().st_size
    assert not (tmp_path / "corpus.txt.partial").exists()


def test_pool_holds_out_the_tail_of_every_source_and_mixes_the_rest():
    english = [f"english line {i}\n".encode() for i in range(200)]
    german = [f"deutsche Zeile {i}\n".encode() for i in range(50)]
    pool, held_out = corpus.build_pool([english, german], held_out_fraction=0.1, block_bytes=64)

    pool_lines = set(pool.splitlines(keepends=True))
    held_lines = held_out.splitlines(keepends=True)
    assert pool_lines.isdisjoint(held_lines)
    assert pool_lines | set(held_lines) == set(english) | set(german)
    assert held_lines[0] in english and held_lines[-1] == german[-1]
    # Every source shows up early instead of one source after the other.
    first_quarter = pool[: len(pool) // 4]
    assert b"english" in first_quarter and b"deutsche" in first_quarter
    assert corpus.build_pool([english, german], 0.1, 64) == (pool, held_out)


def test_stray_windows_1252_bytes_become_utf8_and_fortune_separators_go():
    raw = b"plain\nthe market\x92s drop\n%\nna\xc3\xafve\n"
    assert corpus.fortune_lines(raw) == [
        b"plain\n",
        "the market\u2019s drop\n".encode(),
        "na\u00efve\n".encode(),
    ]


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's shadow memory adds its own RSS to every child")
def test_peak_rss_is_each_childs_own():
    # A child starts as a copy of this process, whose resident pages its peak includes until the
    # exec: after earlier tests (batches of thousands of texts, long encodings) that can pass
    # 300 MiB on its own, so the big child touches well beyond it.
    own_peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    big_mib = max(300, own_peak_kib // 1024 + 100)
    touch_big = f"x = bytearray({big_mib} << 20)\nx[::4096] = b'1' * ({big_mib} << 8)"
    big = train_phases.run_child(touch_big, [])
    small = train_phases.run_child("pass", [])
    assert big["exit_code"] == small["exit_code"] == 0
    assert big["peak_rss_kib"] > big_mib * 1024
    assert small["peak_rss_kib"] < max(100 * 1024, own_peak_kib + 20 * 1024) < big["peak_rss_kib"]
