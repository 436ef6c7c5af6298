# Everyday tasks. `make test` is what CI runs.
PYTHON ?= python3
JOBS ?= 2
BUILD ?= build/cpp
ASAN_BUILD ?= build/asan
FUZZ_BUILD ?= build/fuzz
BENCH_BUILD ?= build/bench
FUZZ_SECONDS ?= 30

.PHONY: install example build test test-cpp test-py sanitize fuzz bench bench-py lint clean

install:
	$(PYTHON) -m pip install .

example: install
	$(PYTHON) -m varnex examples/catalog.xml

build:
	cmake -S . -B $(BUILD) -DVARNEX_TESTS=ON -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

test-cpp: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-py:
	$(PYTHON) -m pip install ".[test]"
	$(PYTHON) -m pytest

test: test-cpp test-py

# The C++ tests under AddressSanitizer and UBSan.
sanitize:
	cmake -S . -B $(ASAN_BUILD) -DVARNEX_TESTS=ON -DVARNEX_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# Bounded libFuzzer runs of every target in fuzz/ (needs clang).
fuzz:
	CXX=clang++-14 cmake -S . -B $(FUZZ_BUILD) -DVARNEX_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	for t in $(FUZZ_BUILD)/fuzz_*; do \
	  mkdir -p $(FUZZ_BUILD)/corpus-$$(basename $$t); \
	  $$t -max_total_time=$(FUZZ_SECONDS) -max_len=4096 -print_final_stats=1 \
	      $(FUZZ_BUILD)/corpus-$$(basename $$t) fuzz/seeds || exit 1; \
	done

bench:
	cmake -S . -B $(BENCH_BUILD) -DVARNEX_BENCH=ON -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	for b in $(BENCH_BUILD)/bench_*; do $$b || exit 1; done

bench-py:
	$(PYTHON) benchmarks/run.py --quick

lint:
	$(PYTHON) -m ruff check python tests benchmarks

clean:
	rm -rf build
