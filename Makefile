# Every target does its own set-up: Debian packages, .venv, and an incremental build.
# `make help` lists the targets: each one's line is the `##` comment after its name.
VENV := .venv
PYTHON := $(VENV)/bin/python
STAMP_SYSTEM := build/.system-packages
STAMP_VENV := $(VENV)/.requirements-installed
INSTALLED := $(VENV)/.wrenmark-installed
SOURCES := $(shell find src cmake -type f -not -path '*/__pycache__/*') CMakeLists.txt pyproject.toml

.PHONY: help setup build test typecheck demo clean bench bench-quick bench-setup

help: ## list the targets
	@awk -F ':.*## ' '/^[a-z-]+:.*## / { printf "  %-14s %s\n", $$1, $$2 }' $(MAKEFILE_LIST)

setup: $(STAMP_SYSTEM) $(STAMP_VENV) ## install the Debian packages and create .venv

$(STAMP_SYSTEM): scripts/install_system_packages.sh
	bash scripts/install_system_packages.sh
	mkdir -p build && touch $@

$(STAMP_VENV): requirements-dev.txt scripts/setup_venv.sh scripts/find_python.sh
	bash scripts/setup_venv.sh

build: $(INSTALLED) ## build the package and install it into .venv

$(INSTALLED): $(STAMP_SYSTEM) $(STAMP_VENV) $(SOURCES)
	$(PYTHON) -m pip install --quiet --no-build-isolation --no-deps .
	touch $@

# PYTEST_ARGS runs a subset instead of the whole suite, without make typecheck, e.g.
# make test PYTEST_ARGS="-k persistence tests/test_persistence.py"; make test-sanitize takes it too.
PYTEST_ARGS ?=

test: build ## the test suite, then make typecheck (PYTEST_ARGS: pytest's arguments for a subset)
	$(PYTHON) -m pytest -q $(or $(PYTEST_ARGS),tests)
	$(if $(PYTEST_ARGS),,$(MAKE) --no-print-directory typecheck)

# The stubs against the compiled module (stubtest: the package's public stub, and the extension's
# private one for the functions that the package's submodules call), and strict typing of the
# package, the examples and a file that uses the whole surface. pyproject.toml holds the settings
# for the dependencies that ship no types.
typecheck: build ## the stubs against the module, and mypy --strict on src/wrenmark, examples/ and a typed usage file
	$(PYTHON) -m mypy.stubtest wrenmark --allowlist tests/stubtest_allowlist.txt --mypy-config-file pyproject.toml
	$(PYTHON) -m mypy --strict --cache-dir build/mypy-cache src/wrenmark examples tests/typing_usage.py

demo: build build/corpus/default.txt ## the main job: train, encode, decode, save and load
	$(PYTHON) examples/main_job.py

clean: ## remove build/ and .venv/
	rm -rf build $(VENV)

build/corpus/default.txt:
	bash scripts/prepare_default_corpus.sh $@

# Phase timings of training; override e.g. BENCH_SIZES="10MB" BENCH_VOCABS="8k".
BENCH_SIZES ?= 10MB 100MB
BENCH_VOCABS ?= 8k 32k

.PHONY: bench-train
bench-train: build ## phase timings of training (BENCH_SIZES, BENCH_VOCABS)
	$(PYTHON) bench/corpus.py --sizes $(BENCH_SIZES)
	$(PYTHON) bench/train_phases.py --sizes $(BENCH_SIZES) --vocabs $(BENCH_VOCABS)

# wrenmark.dask on a local cluster against train() on the joined file; override e.g.
# DASK_BENCH_ARGS="--size 100MB --files 4".
DASK_BENCH_ARGS ?= --size 1GB --files 16 --workers 2

.PHONY: bench-dask
bench-dask: build ## wrenmark.dask on a local cluster of 2 workers against train(), 1 GB in 16 files
	$(PYTHON) bench/dask_training.py $(DASK_BENCH_ARGS)

# Side-by-side comparison with the peers (tokenizers, sentencepiece, youtokentome, tiktoken,
# gigatoken, rustbpe) and a naive C++ word count, which live in bench/.venv only. `make bench` writes bench/RESULTS.md; `make bench-quick` runs the 10 MB
# subset into bench/results/RESULTS-quick.md. Override e.g. BENCH_SKIP="--skip youtokentome@1GB".
BENCH_PYTHON := bench/.venv/bin/python
BENCH_SKIP ?=

bench-setup: build ## bench/.venv with the peers and the built package
	bash scripts/setup_bench_venv.sh

# encode_batch with the models that compare.py left of one corpus size, both merge modes and gigatoken's.
batch_encoding = $(BENCH_PYTHON) bench/batch_encoding.py --model bench/data/work/models/$(1)/wrenmark \
	  --classic-model bench/data/work/models/$(1)/wrenmark-classic --gigatoken-model bench/data/work/models/$(1)/gigatoken \
	  --text bench/data/heldout.txt --repeat 25 --output bench/results/batch-encoding-$(1).json

bench: bench-setup ## the full comparison with the peers into bench/RESULTS.md (about 40 min)
	$(BENCH_PYTHON) bench/corpus.py --sizes 10MB 100MB 1GB
	$(BENCH_PYTHON) bench/compare.py --label full --sizes 10MB 100MB 1GB --repeat 3 --repeat-largest 5 \
	  --peer-repeat-largest 1 $(BENCH_SKIP)
	$(call batch_encoding,100MB)
	$(BENCH_PYTHON) bench/report.py bench/results/latest-full.json --batch bench/results/batch-encoding-100MB.json
	$(BENCH_PYTHON) bench/scaling.py --sizes 100MB 1GB 4GB --systems wrenmark tokenizers --skip tokenizers@4GB

bench-quick: bench-setup ## the comparison on the 10 MB corpus only (a few minutes)
	$(BENCH_PYTHON) bench/corpus.py --sizes 10MB
	$(BENCH_PYTHON) bench/compare.py --label quick --sizes 10MB --repeat 3 --encode-repeat 2 --encode-inner 3
	$(call batch_encoding,10MB)
	$(BENCH_PYTHON) bench/report.py bench/results/latest-quick.json --batch bench/results/batch-encoding-10MB.json \
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

test-sanitize: $(SANITIZE_INSTALLED) ## the test suite against an AddressSanitizer and UBSan build (PYTEST_ARGS)
	rm -rf $(SANITIZE_REPORTS) && mkdir -p $(SANITIZE_REPORTS)
	$(SANITIZE_ENV) $(SANITIZE_VENV)/bin/python -m pytest -q -p no:cacheprovider $(or $(PYTEST_ARGS),tests)
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

fuzz: $(FUZZ_INSTALLED) ## coverage-guided fuzzing of every target for FUZZ_SECONDS each
	bash scripts/run_fuzz.sh $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# Extreme inputs: a 1 GB corpus, 10 MB words, 10,000 special tokens, a 1,000,000 target, 100,000
# distinct characters. Not part of `make test`; prints timings and peak memory per scenario.
stress: build ## extreme inputs with timings and peak memory (STRESS_ARGS)
	$(PYTHON) bench/stress.py $(STRESS_ARGS)
	$(PYTHON) bench/scaling.py --sizes 10GB --systems wrenmark --remove-after

# ---------------------------------------------------------------------------------------------
# Habits: formatting and linting, with the pinned tools of requirements-lint.txt in .venv. The
# lint build has its own directory, with warnings as errors for our targets only, and gives
# clang-tidy its compile_commands.json.

LINT_TOOLS := $(VENV)/.lint-tools-installed
LINT_BUILD := build/lint
LINT_JOBS ?= $(shell nproc)
CXX_SOURCES = $(shell find src -name '*.cpp' -o -name '*.hpp')

.PHONY: format lint

$(LINT_TOOLS): requirements-lint.txt $(STAMP_VENV)
	$(PYTHON) -m pip install --quiet -r requirements-lint.txt
	touch $@

format: $(LINT_TOOLS) ## clang-format the C++ sources in place
	$(VENV)/bin/clang-format -i $(CXX_SOURCES)

$(LINT_BUILD)/build.ninja: $(STAMP_SYSTEM) $(STAMP_VENV)
	$(VENV)/bin/cmake -S . -B $(LINT_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
		-DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(CURDIR)/$(PYTHON) \
		-DWRENMARK_WERROR=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON

lint: $(LINT_TOOLS) $(LINT_BUILD)/build.ninja ## ruff, a -Werror build, clang-tidy on src/, and the formatting check
	$(VENV)/bin/ruff check .
	$(VENV)/bin/cmake --build $(LINT_BUILD)
	$(PYTHON) $(VENV)/bin/run-clang-tidy.py -quiet -p $(LINT_BUILD) -clang-tidy-binary $(VENV)/bin/clang-tidy \
		-extra-arg=-Wno-deprecated-declarations -j $(LINT_JOBS) '$(CURDIR)/src/'
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES)

# ---------------------------------------------------------------------------------------------
# Distribution: one wheel for the stable ABI of CPython 3.12 and later, built with the CMake build
# above and repaired by auditwheel so that oneTBB, Vectorscan, Abseil and simdjson travel inside
# it; `make test-wheel` runs the suite against it on every supported CPython. The sdist builds
# wherever the Debian -dev packages are installed. None of this is part of `make test`.
WHEEL_VERSIONS ?= 3.12 3.13

.PHONY: wheel test-wheel sdist

wheel: $(STAMP_SYSTEM) ## the cp312-abi3 wheel in dist/, repaired by auditwheel
	bash scripts/build_wheel.sh

test-wheel: wheel ## the suite against the installed wheel, on each of WHEEL_VERSIONS
	for version in $(WHEEL_VERSIONS); do bash scripts/test_wheel.sh $$version || exit 1; done

sdist: $(STAMP_SYSTEM) ## the source distribution in dist/
	bash scripts/build_sdist.sh
