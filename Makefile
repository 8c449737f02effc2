# make test: set up .venv on a fresh machine, build and install _atomkit, run every test
# against NumPy 2.x and NumPy 1.26.
VENV ?= .venv
PY := $(VENV)/bin/python
NUMPY1 := $(VENV)/numpy1

.PHONY: all setup install test test-numpy2 test-numpy1 clean

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

clean:
	rm -rf build builddir $(VENV) .pytest_cache .hypothesis
