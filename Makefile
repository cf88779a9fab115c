# Every target does its own set-up: Debian packages, .venv, and an incremental build.
VENV := .venv
PYTHON := $(VENV)/bin/python
STAMP_SYSTEM := build/.system-packages
STAMP_VENV := $(VENV)/.requirements-installed
INSTALLED := $(VENV)/.wrenmark-installed
SOURCES := $(shell find src -name '*.cpp' -o -name '*.hpp') CMakeLists.txt pyproject.toml

.PHONY: setup build test demo clean bench bench-quick bench-setup

setup: $(STAMP_SYSTEM) $(STAMP_VENV)

$(STAMP_SYSTEM): scripts/install_system_packages.sh
	bash scripts/install_system_packages.sh
	mkdir -p build && touch $@

$(STAMP_VENV): requirements-dev.txt scripts/setup_venv.sh scripts/find_python.sh
	bash scripts/setup_venv.sh

build: $(INSTALLED)

$(INSTALLED): $(STAMP_SYSTEM) $(STAMP_VENV) $(SOURCES)
	$(PYTHON) -m pip install --quiet --no-build-isolation --no-deps .
	touch $@

test: build
	$(PYTHON) -m pytest -q tests

demo: build build/corpus/default.txt
	$(PYTHON) examples/main_job.py

clean:
	rm -rf build $(VENV)

build/corpus/default.txt:
	bash scripts/prepare_default_corpus.sh $@

# Phase timings of training; override e.g. BENCH_SIZES="10MB" BENCH_VOCABS="8k".
BENCH_SIZES ?= 10MB 100MB
BENCH_VOCABS ?= 8k 32k

.PHONY: bench-train
bench-train: build
	$(PYTHON) bench/corpus.py --sizes $(BENCH_SIZES)
	$(PYTHON) bench/train_phases.py --sizes $(BENCH_SIZES) --vocabs $(BENCH_VOCABS)

# Side-by-side comparison with the peers (tokenizers, sentencepiece, youtokentome, tiktoken), which
# live in bench/.venv only. `make bench` writes bench/RESULTS.md; `make bench-quick` runs the 10 MB
# subset into bench/results/RESULTS-quick.md. Override e.g. BENCH_SKIP="--skip youtokentome@1GB".
BENCH_PYTHON := bench/.venv/bin/python
BENCH_SKIP ?=

bench-setup: build
	bash scripts/setup_bench_venv.sh

bench: bench-setup
	$(BENCH_PYTHON) bench/corpus.py --sizes 10MB 100MB 1GB
	$(BENCH_PYTHON) bench/compare.py --label full --sizes 10MB 100MB 1GB --repeat 3 --repeat-largest 3 $(BENCH_SKIP)
	$(BENCH_PYTHON) bench/report.py bench/results/latest-full.json

bench-quick: bench-setup
	$(BENCH_PYTHON) bench/corpus.py --sizes 10MB
	$(BENCH_PYTHON) bench/compare.py --label quick --sizes 10MB --repeat 3 --encode-repeat 2 --encode-inner 3
	$(BENCH_PYTHON) bench/report.py bench/results/latest-quick.json \
	  --output bench/results/RESULTS-quick.md --plot bench/results/training-time-quick.png
