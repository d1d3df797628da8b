# Set-up, build and checks. Every target creates .venv on first use and rebuilds the extension
# when a source changed (the CMake build directory under build/ is kept between runs).
PYTHON ?= python3
VENV ?= .venv
BUILD_DIR ?= build/tallyfit
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
SOURCES := $(shell find src -type f) CMakeLists.txt pyproject.toml

.PHONY: all test demo bench clean format

all: $(VENV)/.built

$(VENV)/.deps: pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q "scikit-build-core>=0.10" "numpy>=1.23" "scipy>=1.8" cmake ninja \
		"pytest>=7" "hypothesis>=6" "mypy>=1.10"
	touch $@

$(VENV)/.built: $(VENV)/.deps $(SOURCES)
	$(PIP) install -q --no-build-isolation --no-deps -C build-dir=$(BUILD_DIR) .
	touch $@

test: $(VENV)/.built
	$(PY) -m pytest -q

demo: $(VENV)/.built
	$(PY) examples/demo.py

$(VENV)/.bench-deps: $(VENV)/.deps
	$(PIP) install -q "statsmodels>=0.14" "scikit-learn>=1.3" "psutil>=5"
	touch $@

bench: $(VENV)/.built $(VENV)/.bench-deps
	$(PY) bench/run.py

format:
	clang-format -i $$(find src fuzz -name '*.cpp' -o -name '*.hpp')

clean:
	rm -rf build dist *.egg-info $(VENV)/.built
	-$(PIP) uninstall -q -y tallyfit 2>/dev/null || true
