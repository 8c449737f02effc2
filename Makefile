# Build, test and measure atomkit. `make test` runs everything CI runs, from a fresh clone;
# `make check` is the inner loop of a developer (incremental build, whole suite, seconds).
VENV ?= .venv
PY := $(VENV)/bin/python
BIN := $(abspath $(VENV))/bin
NUMPY1 := $(VENV)/numpy1
# Setup runs again only when what it installs changes.
SETUP_STAMP := $(VENV)/.setup-done
FUZZ_SECONDS ?= 60
SOAK_CALLS ?= 1000000

.PHONY: all setup install test suite test-numpy2 test-numpy1 wheel wheel-test sanitize fallback native \
        native-sanitize tsan fuzz soak check bench demo clean

all: test

$(SETUP_STAMP): scripts/bootstrap.sh scripts/find_python.sh requirements-dev.txt requirements-test.txt pyproject.toml
	./scripts/bootstrap.sh
	touch $@

setup: $(SETUP_STAMP)

# The module and package as a user installs them (pip install .), into .venv; again only when
# a file of the build changed.
INSTALL_STAMP := $(VENV)/.install-done
INSTALL_INPUTS := meson.build meson.options pyproject.toml $(shell find src -type f -not -path '*/__pycache__/*')
$(INSTALL_STAMP): $(SETUP_STAMP) $(INSTALL_INPUTS)
	$(PY) -m pip install -q --no-build-isolation .
	touch $@

install: $(INSTALL_STAMP)

$(NUMPY1)/numpy/__init__.py: | setup
	$(PY) -m pip install -q --target $(NUMPY1) "numpy==1.26.*"

test-numpy2: install
	$(PY) -m pytest -q tests

test-numpy1: install $(NUMPY1)/numpy/__init__.py
	PYTHONPATH=$(NUMPY1) $(PY) -m pytest -q tests

# The suite against the installed module, under both NumPy majors.
suite: test-numpy2 test-numpy1

# One wheel per supported CPython (3.11, 3.12, 3.13) in dist/, repaired to a manylinux tag;
# stops if one of those versions is missing.
wheel: setup
	./scripts/wheels.sh

# Each wheel in dist/ installed into a fresh venv without a compiler on PATH, and the suite run
# against it (under NumPy 2, and 1.26 where it exists).
wheel-test: setup
	./scripts/wheel_test.sh

# A build tree of its own, configured once with the given options: $(call build_tree,dir,options)
define build_tree
	[ -f $(1)/build.ninja ] || PATH=$(BIN):$$PATH $(BIN)/meson setup $(1) $(2)
	$(BIN)/ninja -C $(1)
endef

# The suite against an AddressSanitizer and UndefinedBehaviorSanitizer build.
SANITIZE_DIR := build/sanitize
SANITIZE_OPTIONS := -Db_sanitize=address,undefined -Dbuildtype=debugoptimized -Db_lundef=false
sanitize: setup
	$(call build_tree,$(SANITIZE_DIR),$(SANITIZE_OPTIONS))
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PYTHONPATH=$(SANITIZE_DIR):src $(PY) -m pytest -q -n 2 tests

# The suite against the std::from_chars fallback (a build without fast_float).
FALLBACK_DIR := build/fallback
fallback: setup
	$(call build_tree,$(FALLBACK_DIR),-Dfast_float=disabled)
	PYTHONPATH=$(FALLBACK_DIR):src $(PY) -m pytest -q -n 2 tests

# Native unit tests of the plain C++ cores.
NATIVE_DIR := build/native
native: setup
	$(call build_tree,$(NATIVE_DIR),-Dbuildtype=debugoptimized)
	$(BIN)/meson test -C $(NATIVE_DIR) --print-errorlogs

# The same under AddressSanitizer and UndefinedBehaviorSanitizer.
NATIVE_SAN_DIR := build/native-sanitize
native-sanitize: setup
	$(call build_tree,$(NATIVE_SAN_DIR),$(SANITIZE_OPTIONS))
	$(BIN)/meson test -C $(NATIVE_SAN_DIR) --print-errorlogs

# The module's threads under ThreadSanitizer: the native tests of the pool (and of blocks split
# across it) and of the reader, then the suite's thread tests against the module. Python itself is not built for
# ThreadSanitizer, so races are looked for in the module's code, the interpreter lock seen
# through the pthread calls it makes. Tests that race on purpose (test_races, the block reader's
# rewritten bytes) are left out, and so are forks of a process with threads, which
# ThreadSanitizer does not follow.
TSAN_DIR := build/tsan
TSAN_TESTS := tests/test_parallel.py tests/test_threads.py tests/test_table.py tests/test_table_native.py tests/test_reader_type.py \
              tests/test_read_paths.py::test_a_large_frame_read_in_pieces
tsan: setup
	$(call build_tree,$(TSAN_DIR),-Db_sanitize=thread -Dbuildtype=debugoptimized -Db_lundef=false)
	$(BIN)/meson test -C $(TSAN_DIR) --print-errorlogs thread_pool reader
	LD_PRELOAD="$$(gcc -print-file-name=libtsan.so)" TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	PYTHONPATH=$(TSAN_DIR):src $(PY) -m pytest -q -p no:cacheprovider -k "not fork" $(TSAN_TESTS)

# libFuzzer targets of the cores, FUZZ_SECONDS each.
fuzz:
	FUZZ_SECONDS=$(FUZZ_SECONDS) ./fuzz/run.sh

# Everything CI runs, in order, with what each leg took; stops at the first failure. The
# source install (suite) is covered by the wheels, built from the same sources by pip.
TEST_LEGS := wheel wheel-test sanitize fallback native native-sanitize tsan fuzz
test: setup
	./scripts/run_legs.sh $(TEST_LEGS)

# 10^6 mixed calls; fails when memory or reference counts keep rising.
soak: install
	$(PY) tests/soak.py --calls $(SOAK_CALLS)

# The inner loop: rebuilds only what changed in build/dev and runs the whole suite there on
# two workers, property tests drawing a fifth of their examples.
DEV_DIR := build/dev
check: setup
	$(call build_tree,$(DEV_DIR),-Dbuildtype=release)
	ATOMKIT_QUICK=1 PYTHONPATH=$(DEV_DIR):src $(PY) -m pytest -q -x -n 2 tests

# Writer and reader against the Python loops, NumPy and pandas; results in bench/results/.
bench: install
	$(PY) -m pip install -q -r requirements-bench.txt
	$(PY) bench/run.py
	$(PY) bench/whole_file.py
	$(PY) bench/datasets.py

# A 10-frame, 100,000-atom extxyz round trip through the atomkit package, with timings.
demo: install
	$(PY) examples/demo.py

clean:
	rm -rf build builddir $(VENV) .pytest_cache .hypothesis
