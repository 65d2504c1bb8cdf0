# The two commands of the README, `make demo` and `make test`, set up
# everything on a fresh machine (Debian packages, a venv, the C++ build) and
# then run the demo or the test suite.

PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check -q
STAMP := $(VENV)/.installed
BUILD_DIR := build/release
PYTEST_ARGS ?=

.PHONY: demo test bench build system clean

demo: build
	$(PY) examples/demo.py

test: build
	$(PY) -m pytest $(PYTEST_ARGS)

bench: build
	$(PY) bench/run.py

system:
	@PYTHON=$(PYTHON) tools/system-deps.sh

$(STAMP): pyproject.toml | system
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --upgrade pip
	$(PIP) install "scikit-build-core>=0.10" cmake ninja "pytest>=7" "hypothesis>=6"
	touch $@

# The package, built from C++ with warnings as errors, installed into the venv.
build: system $(STAMP)
	$(PIP) install --no-build-isolation --no-deps -Cbuild-dir=$(BUILD_DIR) \
	    -Ccmake.define.TARVO_WERROR=ON .

clean:
	rm -rf build $(VENV)
