# Every target does its own set-up: Debian packages, .venv, and an incremental build.
VENV := .venv
PYTHON := $(VENV)/bin/python
STAMP_SYSTEM := build/.system-packages
STAMP_VENV := $(VENV)/.requirements-installed
INSTALLED := $(VENV)/.wrenmark-installed
SOURCES := $(shell find src -type f -not -path '*/__pycache__/*') CMakeLists.txt pyproject.toml

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

# ---------------------------------------------------------------------------------------------
# Hardening: the test suite under sanitizers, fuzzing, and stress runs. The sanitizer and fuzzing
# builds each have their own build directory and virtual environment and never touch .venv.

SANITIZE_VENV := .venv-sanitize
SANITIZE_INSTALLED := $(SANITIZE_VENV)/.wrenmark-installed
SANITIZE_REPORTS := build/sanitize-reports
SANITIZE_RUNTIME = $(shell gcc -print-file-name=libasan.so) $(shell gcc -print-file-name=libubsan.so)
# Reports go to files as well as failing the process, so that one raised in a child process that
# a test started is not lost.
SANITIZE_ENV = LD_PRELOAD="$(SANITIZE_RUNTIME)" \
	ASAN_OPTIONS=detect_leaks=0:log_path=$(CURDIR)/$(SANITIZE_REPORTS)/asan \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$(CURDIR)/$(SANITIZE_REPORTS)/ubsan

FUZZ_VENV := .venv-fuzz
FUZZ_INSTALLED := $(FUZZ_VENV)/.wrenmark-installed
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?= loader training encode decode
STRESS_ARGS ?=

.PHONY: test-sanitize fuzz stress

$(SANITIZE_VENV)/.requirements-installed: requirements-dev.txt scripts/setup_tool_venv.sh scripts/find_python.sh
	bash scripts/setup_tool_venv.sh $(SANITIZE_VENV)

$(SANITIZE_INSTALLED): $(STAMP_SYSTEM) $(SANITIZE_VENV)/.requirements-installed $(SOURCES)
	$(SANITIZE_VENV)/bin/python -m pip install --quiet --no-build-isolation --no-deps \
		-C build-dir=build/sanitize -C cmake.build-type=RelWithDebInfo -C cmake.define.WRENMARK_SANITIZE=ON .
	touch $@

test-sanitize: $(SANITIZE_INSTALLED)
	rm -rf $(SANITIZE_REPORTS) && mkdir -p $(SANITIZE_REPORTS)
	$(SANITIZE_ENV) $(SANITIZE_VENV)/bin/python -m pytest -q -p no:cacheprovider tests
	@if ls $(SANITIZE_REPORTS)/* >/dev/null 2>&1; then cat $(SANITIZE_REPORTS)/*; \
		echo "sanitizer reports found in $(SANITIZE_REPORTS)"; exit 1; fi

$(FUZZ_VENV)/.requirements-installed: requirements-dev.txt scripts/setup_tool_venv.sh scripts/find_python.sh
	bash scripts/setup_tool_venv.sh $(FUZZ_VENV) atheris==3.1.0

# The fuzzing build is made with clang, whose coverage instrumentation libFuzzer (inside atheris) reads.
$(FUZZ_INSTALLED): $(STAMP_SYSTEM) $(FUZZ_VENV)/.requirements-installed $(SOURCES) scripts/install_fuzz_packages.sh
	bash scripts/install_fuzz_packages.sh
	$(FUZZ_VENV)/bin/python -m pip install --quiet --no-build-isolation --no-deps \
		-C build-dir=build/fuzz -C cmake.build-type=RelWithDebInfo -C cmake.define.CMAKE_CXX_COMPILER=clang++-14 \
		-C cmake.define.WRENMARK_SANITIZE=ON -C cmake.define.WRENMARK_FUZZ=ON .
	touch $@

fuzz: $(FUZZ_INSTALLED)
	bash scripts/run_fuzz.sh $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# Extreme inputs: a 1 GB corpus, 10 MB words, 10,000 special tokens, a 1,000,000 target, 100,000
# distinct characters. Not part of `make test`; prints timings and peak memory per scenario.
stress: build
	$(PYTHON) bench/stress.py $(STRESS_ARGS)

# ---------------------------------------------------------------------------------------------
# Distribution: one wheel for the stable ABI of CPython 3.12 and later, built with the CMake build
# above and repaired by auditwheel so that oneTBB, Vectorscan, Abseil and simdjson travel inside
# it; `make test-wheel` runs the suite against it on every supported CPython. The sdist builds
# wherever the Debian -dev packages are installed. None of this is part of `make test`.
WHEEL_VERSIONS ?= 3.12 3.13

.PHONY: wheel test-wheel sdist

wheel: $(STAMP_SYSTEM)
	bash scripts/build_wheel.sh

test-wheel: wheel
	for version in $(WHEEL_VERSIONS); do bash scripts/test_wheel.sh $$version || exit 1; done

sdist: $(STAMP_SYSTEM)
	bash scripts/build_sdist.sh
