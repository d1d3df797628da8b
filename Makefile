# Set-up, build and checks. Every target creates .venv on first use and rebuilds the extension
# when a source changed (the CMake build directory under build/ is kept between runs).
PYTHON ?= python3
VENV ?= .venv
BUILD_DIR ?= build/tallyfit
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
SOURCES := $(shell find src tallyfit -type f -not -name "*.pyc") CMakeLists.txt pyproject.toml

.PHONY: all test demo bench clean format test-asan fuzz test-valgrind stubtest typecheck

all: $(VENV)/.built

$(VENV)/.deps: pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q "scikit-build-core>=0.10" "numpy>=1.23" "scipy>=1.8" cmake ninja \
		"pytest>=7" "hypothesis>=6" "mypy>=1.10" "narwhals>=1.40" "threadpoolctl>=3.1" \
		"pandas>=1.5" "polars>=0.20" \
		"pyarrow>=12" "dask[dataframe]>=2024.1" "distributed>=2024.1" \
		"statsmodels>=0.14" "scikit-learn>=1.3" "duckdb>=1.0" "tqdm>=4.60" \
		"matplotlib>=3.6" "glum>=3"
	touch $@

$(VENV)/.built: $(VENV)/.deps $(SOURCES)
	$(PIP) install -q --no-build-isolation --no-deps -C build-dir=$(BUILD_DIR) .
	touch $@

test: $(VENV)/.built
	$(PY) -m pytest -q

demo: $(VENV)/.built
	$(PY) examples/demo.py
	$(PY) examples/walkthrough.py

$(VENV)/.bench-deps: $(VENV)/.deps
	$(PIP) install -q "statsmodels>=0.14" "scikit-learn>=1.3" "psutil>=5" "dask-ml>=2024.4"
	touch $@

bench: $(VENV)/.built $(VENV)/.bench-deps
	$(PY) bench/run.py
	$(PY) bench/speed_targets.py

# ---- Reliability checks ---------------------------------------------------------------------

# The extension built with AddressSanitizer and UndefinedBehaviorSanitizer, installed into a
# directory of its own that the sanitized run puts ahead of the venv's site-packages.
ASAN_BUILD_DIR ?= build/asan
# The interpreter is not instrumented, so the sanitizer runtimes are preloaded into it. Leak
# detection is off because the interpreter never frees some of its own memory; test_leaks.py
# and test-valgrind look for our leaks instead.
SANITIZER_RUNTIMES = $$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)
SANITIZED_PYTHON = LD_PRELOAD="$(SANITIZER_RUNTIMES)" \
	ASAN_OPTIONS=detect_leaks=0:halt_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PYTHONPATH=$(abspath $(ASAN_BUILD_DIR))/site $(PY)

$(ASAN_BUILD_DIR)/.built: $(VENV)/.deps $(SOURCES)
	$(PIP) install -q --no-build-isolation --no-deps --upgrade --target $(ASAN_BUILD_DIR)/site \
		-C build-dir=$(ASAN_BUILD_DIR)/cmake -C cmake.build-type=RelWithDebInfo \
		-C cmake.define.TALLYFIT_SANITIZE=address,undefined .
	touch $@

test-asan: $(ASAN_BUILD_DIR)/.built
	$(SANITIZED_PYTHON) -c 'import sys, _tallyfit; \
		sys.exit(not _tallyfit.__file__.startswith("$(abspath $(ASAN_BUILD_DIR))"))'
	$(SANITIZED_PYTHON) -m pytest -q -p no:cacheprovider

# libFuzzer targets of the plain C++ core, built with clang; each runs for FUZZ_SECONDS. New
# inputs go to FUZZ_CORPUS_DIR, crashing ones to $(FUZZ_BUILD_DIR)/artifacts.
FUZZ_SECONDS ?= 60
FUZZ_BUILD_DIR ?= fuzz/build
FUZZ_CORPUS_DIR ?= fuzz/corpus-run
# Each target NAME_fuzzer has its seeds in fuzz/corpus/NAME and its dictionary in fuzz/NAME.dict.
FUZZERS := formula model_file

fuzz: $(VENV)/.deps
	$(VENV)/bin/cmake -S . -B $(FUZZ_BUILD_DIR) -G Ninja \
		-DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja -DCMAKE_CXX_COMPILER=clang++ \
		-DTALLYFIT_MODULE=OFF -DTALLYFIT_FUZZ=ON >/dev/null
	$(VENV)/bin/cmake --build $(FUZZ_BUILD_DIR)
	mkdir -p $(FUZZ_BUILD_DIR)/artifacts
	set -e; for name in $(FUZZERS); do \
		mkdir -p $(FUZZ_CORPUS_DIR)/$$name; \
		$(FUZZ_BUILD_DIR)/fuzz/$${name}_fuzzer -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
			-rss_limit_mb=2048 -print_final_stats=1 -dict=fuzz/$$name.dict \
			-artifact_prefix=$(FUZZ_BUILD_DIR)/artifacts/$$name- \
			$(FUZZ_CORPUS_DIR)/$$name fuzz/corpus/$$name; \
	done

# The whole suite once under memcheck (about 7 minutes on two cores, so not part of CI).
test-valgrind: $(VENV)/.built
	PYTHONMALLOC=malloc valgrind --quiet --error-exitcode=99 \
		--suppressions=.ci/valgrind-python.supp \
		--leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
		$(PY) -m pytest -q -p no:cacheprovider

# The stub against the installed module. stubtest passes silently when mypy cannot find the stub,
# so finding it is checked first. Both run in a scratch directory, where stubtest leaves the mypy
# cache it always writes.
STUBTEST_DIR ?= build/stubtest
stubtest: $(VENV)/.built
	mkdir -p $(STUBTEST_DIR)
	cd $(STUBTEST_DIR) && $(abspath $(PY)) -m mypy -c 'import _tallyfit'
	cd $(STUBTEST_DIR) && $(abspath $(PY)) -m mypy.stubtest _tallyfit

# The installed tallyfit package (its modules and the stub of its native kernels) under mypy's
# strict mode, with the settings of pyproject.toml.
typecheck: $(VENV)/.built
	mkdir -p $(STUBTEST_DIR)
	cd $(STUBTEST_DIR) && $(abspath $(PY)) -m mypy --config-file $(abspath pyproject.toml) \
		-p tallyfit

format:
	clang-format -i $$(find src fuzz -name '*.cpp' -o -name '*.hpp')

clean:
	rm -rf build dist *.egg-info $(VENV)/.built $(FUZZ_BUILD_DIR)
	-$(PIP) uninstall -q -y tallyfit 2>/dev/null || true
