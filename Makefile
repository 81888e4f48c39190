# Every target creates .venv on first use with the newest CPython the machine has.
PYTHON ?= $(shell scripts/find_python.sh)
VENV ?= .venv
VPY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
JOBS ?= 2
DEV_BUILD := build/dev
PYTEST_ARGS ?=

.PHONY: venv build demo dist test test-quick typecheck matrix-ci test-native test-python tsan asan lint format bench bench-install bench-types bench-sizes bench-inputs bench-first-call bench-profile bench-native matrix clean

venv: $(VENV)/.ready
$(VENV)/.ready: pyproject.toml requirements-dev.txt
	test -x $(VPY) || $(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r requirements-dev.txt
	touch $@

# Development build: warnings are errors; incremental through the fixed build folder.
build: venv
	$(VPY) -m pip install -q --no-build-isolation --no-deps \
	  -Cbuild-dir=$(DEV_BUILD) -Ccmake.define.VANDRA_WERROR=ON .

demo: build
	$(VPY) examples/quickstart.py

# sdist and manylinux wheel in dist/, the wheel installed into a fresh venv without a
# compiler, the demo and stubtest run there (scripts/dist.sh).
dist:
	PYTHON=$(PYTHON) scripts/dist.sh

# Everything CI runs: the lint, native tests (plain and under ThreadSanitizer), the Python
# suite, the stub checks, the Python suite against an ASan+UBSan build, and the CI
# combinations of the version matrix.
test: lint test-quick typecheck tsan asan-python matrix-ci

# The quick loop while developing: native tests and the Python suite.
test-quick: test-native test-python

# CI's combinations: the oldest supported NumPy + pandas without pyarrow, and the newest
# with pyarrow (pandas' pyarrow-backed default "str"); the main .venv is the newest without.
matrix-ci:
	PYTEST_ARGS="$(PYTEST_ARGS)" scripts/matrix.sh 3.12-np126 3.13-latest-pyarrow

test-native: venv
	$(CMAKE) -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVANDRA_NATIVE_TESTS=ON -DVANDRA_WERROR=ON -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) >/dev/null
	$(CMAKE) --build build/native -j $(JOBS)
	$(VENV)/bin/ctest --test-dir build/native --output-on-failure

test-python: build
	$(VPY) -m pytest -q $(PYTEST_ARGS) tests

# The installed stub against the built module, then mypy (pyproject.toml: examples/ and
# tests/test_typing.py) against the stub.
typecheck: build
	$(VPY) -m mypy.stubtest vandra
	$(VPY) -m mypy

# Native tests under ThreadSanitizer / AddressSanitizer + UndefinedBehaviorSanitizer.
tsan asan: venv
	$(CMAKE) -S . -B build/$@ -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANDRA_NATIVE_TESTS=ON \
	  -DVANDRA_SANITIZE=$(if $(filter tsan,$@),thread,address,undefined) \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) >/dev/null
	$(CMAKE) --build build/$@ -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  $(VENV)/bin/ctest --test-dir build/$@ --output-on-failure

# The C++ sources against .clang-format (clang-format 14 from requirements-dev.txt), cppcheck,
# and ruff over the Python outside the package. cppcheck has no usable wheel: where it is
# missing, root installs it with apt-get; anyone else is told to.
CPP_SOURCES = $$(git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/native/*' 'bench/*.cpp')
lint: venv
	@command -v cppcheck >/dev/null || { \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
	    echo "lint: installing cppcheck (apt-get)"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq cppcheck >/dev/null; \
	  else \
	    echo "lint: cppcheck is not installed; install it (e.g. sudo apt-get install cppcheck)" >&2; \
	    exit 1; \
	  fi; }
	$(VENV)/bin/clang-format --dry-run --Werror $(CPP_SOURCES)
	cppcheck --quiet --error-exitcode=1 --enable=warning,performance,portability --std=c++20 --language=c++ --inline-suppr \
	  --suppress=missingIncludeSystem -I src src
	$(VENV)/bin/ruff check tests bench examples scripts

format: venv
	$(VENV)/bin/clang-format -i $(CPP_SOURCES)

bench-native: test-native
	build/native/bench_label_encode

# Peer comparison (bench/compare.py) in an environment of its own: pyarrow, which polars needs
# to read pandas frames, would switch pandas' default str storage in .venv, under the tests.
BENCH_VENV ?= .venv-bench
BPY := $(BENCH_VENV)/bin/python
BENCH_ARGS ?=

$(BENCH_VENV)/.ready: requirements-dev.txt bench/requirements.txt
	test -x $(BPY) || $(PYTHON) -m venv $(BENCH_VENV)
	$(BPY) -m pip install -q --upgrade pip
	$(BPY) -m pip install -q -r requirements-dev.txt -r bench/requirements.txt
	touch $@

# Symbols kept (no strip) so that the profile can name vandra's functions.
bench-install: $(BENCH_VENV)/.ready
	$(BPY) -m pip install -q --no-build-isolation --no-deps \
	  -Cbuild-dir=build/bench -Cinstall.strip=false .

# compare.py also rewrites the README's performance tables (between their markers), naming
# the commit and the machine of this run.
bench: bench-install bench-types bench-sizes bench-inputs bench-first-call
	$(BPY) bench/compare.py --readme README.md $(BENCH_ARGS)

# Arrays of every numeric dtype and layout, object cells that need a Python call, and
# categoricals of every size, each against its peer; with pyarrow, then without.
bench-inputs: bench-install
	RAYON_NUM_THREADS=1 $(BPY) bench/inputs.py
	RAYON_NUM_THREADS=1 VANDRA_BENCH_NO_PYARROW=1 $(BPY) bench/inputs.py

# Every typed column kind at 10, 1,000 and 100,000 rows against pandas, one thread, with
# pyarrow and without; the tables are kept in bench/results/typed_sizes.md.
bench-sizes: bench-install
	RAYON_NUM_THREADS=1 $(BPY) bench/typed_sizes.py > bench/results/typed_sizes.md
	echo >> bench/results/typed_sizes.md
	RAYON_NUM_THREADS=1 VANDRA_BENCH_NO_PYARROW=1 $(BPY) bench/typed_sizes.py \
	  >> bench/results/typed_sizes.md
	cat bench/results/typed_sizes.md

# The first call in a fresh process beside the steady calls, with pyarrow and without.
bench-first-call: bench-install
	$(BPY) bench/first_call.py --readme README.md
	$(BPY) bench/first_call.py --no-pyarrow --readme README.md

# Datetime, category, nullable and Arrow columns and NumPy text arrays against pandas
# (bench/column_types.py). Where TYPES_BEFORE exists (that script's JSON from a run of an
# earlier build), the report shows both builds side by side.
TYPES_BEFORE ?= bench/results/column_types_before.json
TYPES_ARGS ?= $(if $(wildcard $(TYPES_BEFORE)),--before $(TYPES_BEFORE))

bench-types: bench-install
	$(BPY) bench/column_types.py $(TYPES_ARGS)

bench-profile: bench-install
	$(BPY) bench/compare.py --profile $(BENCH_ARGS)

clean:
	rm -rf build dist $(VENV)

# The Python suite against an AddressSanitizer + UBSan build of the extension, in its own
# venv (.venv-asan, build folder build/asan-ext); leak checking with tests/sanitizer.supp.
.PHONY: asan-python
asan-python:
	PYTHON=$(PYTHON) scripts/asan_python.sh $(PYTEST_ARGS)

# The Python suite on each CPython 3.12+ with NumPy 1.26 + pandas 2.2 and with the newest
# NumPy + pandas 3, each with and without pyarrow, in its own venv (.venv-py312-np126, ...).
# MATRIX picks combinations.
MATRIX ?=
matrix:
	PYTEST_ARGS="$(PYTEST_ARGS)" scripts/matrix.sh $(MATRIX)
