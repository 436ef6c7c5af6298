# Everyday tasks. `make check` is what CI runs; `make example` is the quick tour.
# Python work happens in a virtual environment of the project's own (.venv).
VENV ?= .venv
PYTHON ?= $(VENV)/bin/python
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
JOBS ?= 2
BUILD ?= build/cpp
ASAN_BUILD ?= build/asan
TSAN_BUILD ?= build/tsan
FUZZ_BUILD ?= build/fuzz
BENCH_BUILD ?= build/bench
FUZZ_SECONDS ?= 30

.PHONY: deps venv install example build test test-cpp test-py check sanitize tsan asan-py fuzz bench bench-py lint format tidy docs typecheck clean

# System packages for the C++ tests, the fuzzers and the C++ checks (Debian); libxml2 is the
# strict checker's differential oracle, xmllint (libxml2-utils) a peer in benchmarks/strict.py.
APT_PACKAGES := cmake g++ libgtest-dev clang-14 libclang-rt-14-dev clang-format-14 clang-tidy-14 \
  libxml2-dev libxml2-utils
deps:
	@dpkg -s $(APT_PACKAGES) >/dev/null 2>&1 || { \
	  $(SUDO) apt-get update -qq && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $(APT_PACKAGES); }

$(VENV)/bin/python:
	python3 -m venv $(VENV)
	$(PYTHON) -m pip install -q --upgrade pip

venv: $(VENV)/bin/python

install: venv
	$(PYTHON) -m pip install -q .

example: venv
	@echo "building the C++ extension, about 2 minutes on 2 cores"
	$(PYTHON) -m pip install -q .
	$(VENV)/bin/varnex --tour examples/catalog.xml

build:
	cmake -S . -B $(BUILD) -DVARNEX_TESTS=ON -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

test-cpp: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-py: venv
	$(PYTHON) -m pip install -q ".[test]"
	$(PYTHON) -m pytest

test: test-cpp test-py

# Everything CI runs: dependencies, a short fuzz run, the C++ tests under the
# sanitizers and in Release, the Python tests (the documentation's examples among
# them) in Release and under the sanitizers, the type checks and the documentation site,
# after the linters (ruff, clang-format) and clang-tidy over the core.
check: deps lint tidy fuzz sanitize tsan test asan-py typecheck docs

# The installed package as its users' type checkers see it: mypy --strict and strict
# basedpyright over a file that uses the whole API, and stubtest comparing the stubs
# with the built module.
typecheck: venv
	$(PYTHON) -m pip install -q ".[typing]"
	$(PYTHON) -m mypy --strict --config-file tests/typing/mypy.ini tests/typing/check_api.py
	$(VENV)/bin/basedpyright -p tests/typing --pythonpath $(PYTHON)
	$(PYTHON) -m mypy.stubtest varnex --mypy-config-file tests/typing/mypy.ini \
	    --allowlist tests/typing/stubtest-allowlist.txt

# The documentation site in build/site, built offline; a broken link or reference fails.
docs: venv
	@$(PYTHON) -c "import material, mkdocstrings_handlers.python" 2>/dev/null || \
	  $(PYTHON) -m pip install -q ".[docs]"
	NO_MKDOCS_2_WARNING=1 $(PYTHON) -m mkdocs build --strict

# The C++ tests under AddressSanitizer and UBSan.
sanitize:
	cmake -S . -B $(ASAN_BUILD) -DVARNEX_TESTS=ON -DVARNEX_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# One document read on several threads, under ThreadSanitizer: the engine's tests of it.
tsan:
	cmake -S . -B $(TSAN_BUILD) -DVARNEX_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_FLAGS=-fsanitize=thread -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target varnex_engine_tests
	TSAN_OPTIONS=halt_on_error=1 $(TSAN_BUILD)/varnex_engine_tests --gtest_filter='Split*'

# The Python suite against an AddressSanitizer/UBSan build of the extension,
# installed into a venv of its own so the regular install stays untouched.
ASAN_PY_BUILD ?= build/py-asan
ASAN_PY_VENV ?= $(ASAN_PY_BUILD)/venv
asan-py:
	test -x $(ASAN_PY_VENV)/bin/python || python3 -m venv $(ASAN_PY_VENV)
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(ASAN_PY_VENV)/bin/python -m pip install -q ".[test]" \
	    -C cmake.define.VARNEX_SANITIZE=ON \
	    -C cmake.build-type=Debug -C build-dir=$(ASAN_PY_BUILD)/build
	LD_PRELOAD=$$(gcc -print-file-name=libasan.so) ASAN_OPTIONS=detect_leaks=0 \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    $(ASAN_PY_VENV)/bin/python -m pytest -q -p no:cacheprovider tests/python

# Bounded fuzzing: every libFuzzer target in fuzz/ (needs clang), then the
# atheris harness over the Python surface. A C++ target starts from its corpus
# in fuzz/corpus/<target>/, and whatever a run finds that adds coverage is
# merged back there (commit it), so the next run starts where this one stopped.
fuzz: venv
	CXX=clang++-14 cmake -S . -B $(FUZZ_BUILD) -DVARNEX_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@for t in $(FUZZ_BUILD)/fuzz_*; do \
	  [ -f $$t ] && [ -x $$t ] || continue; \
	  name=$$(basename $$t); work=$(FUZZ_BUILD)/work-$$name; mkdir -p fuzz/corpus/$$name $$work; \
	  if $$t -max_total_time=$(FUZZ_SECONDS) -max_len=4096 -artifact_prefix=$(FUZZ_BUILD)/ \
	      $$work fuzz/corpus/$$name fuzz/seeds > $(FUZZ_BUILD)/$$name.log 2>&1 && \
	     $$t -set_cover_merge=1 fuzz/corpus/$$name $$work >> $(FUZZ_BUILD)/$$name.log 2>&1; then \
	    echo "$$name: $$(grep -E '^Done [0-9]+ runs' $(FUZZ_BUILD)/$$name.log)," \
	         "$$(ls fuzz/corpus/$$name | wc -l) inputs in fuzz/corpus/$$name"; \
	  else tail -n 60 $(FUZZ_BUILD)/$$name.log; echo "$$name: FAILED"; exit 1; fi; \
	done
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PYTHON) -m pip install -q ".[fuzz]"
	@mkdir -p $(FUZZ_BUILD)/work-fuzz_python
	@if $(PYTHON) fuzz/fuzz_python.py -max_total_time=$(FUZZ_SECONDS) -max_len=4096 \
	    -artifact_prefix=$(FUZZ_BUILD)/ $(FUZZ_BUILD)/work-fuzz_python \
	    > $(FUZZ_BUILD)/fuzz_python.log 2>&1; then \
	  echo "fuzz_python: $$(grep -E '^Done [0-9]+ runs' $(FUZZ_BUILD)/fuzz_python.log)"; \
	else tail -n 60 $(FUZZ_BUILD)/fuzz_python.log; echo "fuzz_python: FAILED"; exit 1; fi

bench:
	cmake -S . -B $(BENCH_BUILD) -DVARNEX_BENCH=ON -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	for b in $(BENCH_BUILD)/bench_*; do $$b || exit 1; done

bench-py:
	$(PYTHON) benchmarks/run.py --quick

# ruff over the Python files; clang-format (.clang-format) over the C++ files, changing nothing:
# `make format` applies it. The C++ tests' case tables are laid out by hand.
CXX_FILES = $$(git ls-files '*.cpp' '*.hpp' ':!tests')
lint: venv
	@$(PYTHON) -m ruff --version >/dev/null 2>&1 || $(PYTHON) -m pip install -q ruff
	$(PYTHON) -m ruff check python tests benchmarks fuzz
	clang-format-14 --dry-run -Werror $(CXX_FILES)

format:
	clang-format-14 -i $(CXX_FILES)

# clang-tidy (.clang-tidy) over the core's sources, from the compile commands CMake writes.
TIDY_BUILD ?= build/tidy
tidy:
	cmake -S . -B $(TIDY_BUILD) -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	run-clang-tidy-14 -p $(TIDY_BUILD) -j $(JOBS) -quiet 'src/(xml|path|engine|values)/'

clean:
	rm -rf build $(VENV)
