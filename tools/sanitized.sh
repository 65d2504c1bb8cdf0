#!/usr/bin/env bash
# Runs a command (the test suite) in processes that can load the checked
# build of the extension modules:
#
#   tools/sanitized.sh COMPILER PYTHON [ARGS...]   (runs PYTHON ARGS...)
#
# COMPILER is the one that built the modules: its AddressSanitizer runtime is
# preloaded, since ASan must come first in a process whose executable (Python)
# was built without it.  The checked modules link it too and we check that
# they link this very file.  Child processes inherit all of this, so tests
# that start Python again run checked as well.
set -euo pipefail

compiler=$1
shift
python=$1

runtime=$("$compiler" -print-file-name=libasan.so)
if [ ! -e "$runtime" ]; then
  echo "sanitized.sh: $compiler has no ASan runtime (libasan.so)" >&2
  exit 2
fi
runtime=$(readlink -f "$runtime")

# Every checked module must link that runtime: another one would fail to load
# or, worse, load beside it.
package=$("$python" -c 'import os, tarvo.tcl; print(os.path.dirname(tarvo.tcl.__file__))')
checked=0
for module in "$package"/*.so; do
  [ -e "$module" ] || continue
  linked=$(ldd "$module" | awk '$1 ~ /^libasan\.so/ { print $3 }')
  if [ -z "$linked" ]; then
    echo "sanitized.sh: $module is not a sanitizer build (no libasan)" >&2
    exit 2
  fi
  if [ "$(readlink -f "$linked")" != "$runtime" ]; then
    echo "sanitized.sh: $module links $linked, not $runtime of $compiler" >&2
    exit 2
  fi
  checked=$((checked + 1))
  cxxlib=$(ldd "$module" | awk '$1 ~ /^libstdc\+\+\.so/ { print $3 }')
done
if [ "$checked" -eq 0 ]; then
  echo "sanitized.sh: no extension module in $package" >&2
  exit 2
fi

# ASan's findings go to files as well: they are shown at the end, and any
# finding, in the test process or in a child whose output and failure a test
# swallowed, fails the run.
reports=$(mktemp -d "${TMPDIR:-/tmp}/sanitizer-reports.XXXXXX")
trap 'rm -rf "$reports"' EXIT

# The C++ runtime of the modules comes right after it: ASan intercepts
# __cxa_throw and finds the real one only if it is loaded when ASan starts
# (Python itself does not link libstdc++); otherwise the first C++ exception
# ends the process.
export LD_PRELOAD="$runtime${cxxlib:+:$cxxlib}${LD_PRELOAD:+:$LD_PRELOAD}"
# Python's own allocator carves objects out of arenas ASan cannot see into:
# with plain malloc, every object is a heap block of its own, and a freed one
# is poisoned.  (Tcl keeps its own per-thread pools: Tcl_Obj lifetimes stay
# out of ASan's sight.)
export PYTHONMALLOC=malloc
# detect_leaks=0: CPython and Tcl keep memory until exit by design; the leak
# checks of the test suite look for leaks instead.
# allocator_may_return_null=1: a failed allocation returns NULL, as malloc
# does outside ASan, so Python raises MemoryError where it would anyway
# instead of the process ending.
# max_free_fill_size: freed blocks are overwritten (with 0x55), so that a
# freed object used by Python's own code, which ASan does not instrument,
# faults at once instead of working on from stale memory.
# exitcode=86, 87: a finding is told apart from failed tests (exit status 1).
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:max_free_fill_size=4096:exitcode=86:log_path=$reports/asan${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
# Undefined behaviour is fatal too (the modules are built with
# -fno-sanitize-recover=all; this covers anything built without it).  Beside
# ASan, UBSan ignores log_path and always writes to stderr.
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=87${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

status=0
"$@" || status=$?

found=0
for report in "$reports"/*; do
  [ -e "$report" ] || continue
  found=1
  echo "=============== sanitizer report ${report##*/} ===============" >&2
  cat "$report" >&2
done
if [ "$found" -ne 0 ]; then
  echo "sanitized.sh: the sanitizers reported errors (above)" >&2
  [ "$status" -ne 0 ] || status=86
fi
exit "$status"
