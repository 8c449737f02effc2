# make test: set up .venv on a fresh machine, build and install _atomkit, run every test
# against NumPy 2.x and NumPy 1.26.
VENV ?= .venv
PY := $(VENV)/bin/python
NUMPY1 := $(VENV)/numpy1

.PHONY: all setup install test test-numpy2 test-numpy1 sanitize bench demo clean

all: test

setup:
	./scripts/bootstrap.sh

install: setup
	$(PY) -m pip install -q --no-build-isolation .

$(NUMPY1)/numpy/__init__.py: | setup
	$(PY) -m pip install -q --target $(NUMPY1) "numpy==1.26.*"

test-numpy2: install
	$(PY) -m pytest -q tests

test-numpy1: install $(NUMPY1)/numpy/__init__.py
	PYTHONPATH=$(NUMPY1) $(PY) -m pytest -q tests

test: test-numpy2 test-numpy1

# The test suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer.
SANITIZE_DIR := build/sanitize
sanitize: setup
	rm -rf $(SANITIZE_DIR)
	PATH=$(abspath $(VENV))/bin:$$PATH $(VENV)/bin/meson setup $(SANITIZE_DIR) -Db_sanitize=address,undefined -Dbuildtype=debugoptimized -Db_lundef=false
	$(VENV)/bin/ninja -C $(SANITIZE_DIR)
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PYTHONPATH=$(SANITIZE_DIR) $(PY) -m pytest -q tests

# Writer and reader against the Python loops, NumPy and pandas; results in bench/results/.
bench: install
	$(PY) -m pip install -q -r requirements-bench.txt
	$(PY) bench/run.py

# A 10-frame, 100,000-atom extxyz round trip through examples/extxyz.py, with timings.
demo: install
	$(PY) examples/demo.py

clean:
	rm -rf build builddir $(VENV) .pytest_cache .hypothesis
