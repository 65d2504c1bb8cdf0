#!/usr/bin/env bash
# The whole test suite on a free-threaded CPython 3.13 (the GIL off):
#
#   tools/test-freethreaded.sh         (make test-freethreaded)
#
# 1. CPython 3.13t: built once from the upstream sources of Debian's
#    python3.13 source package (trixie, from the host's mirror), configured
#    with --disable-gil and built against the host's Tcl/Tk 8.6 so that it
#    has _tkinter; kept under $TARVO_PYTHONS (default /var/cache/tarvo-python)
#    and reused while it answers.  The source package is fetched with a
#    private apt configuration: the host's apt sources and lists stay as
#    they are.
# 2. a venv of its own (.venv-3.13t) and the build (build/py3.13t), as
#    make build makes them;
# 3. the suite with PYTHON_GIL unset and every RuntimeWarning an error: a
#    module that asked for the GIL back would fail it.
# PYTEST_ARGS in the environment go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=tools/chroot-lib.sh
source tools/chroot-lib.sh

prefix=${TARVO_PYTHONS:-/var/cache/tarvo-python}/3.13t
python=$prefix/bin/python3.13t
venv=.venv-3.13t

# The interpreter is usable when it runs, has the GIL off and has _tkinter.
usable() {
  [ -x "$python" ] && env -u PYTHON_GIL "$python" -c '
import sys, sysconfig, _tkinter
sys.exit(not sysconfig.get_config_var("Py_GIL_DISABLED") or sys._is_gil_enabled())' 2>/dev/null
}

build_python() {
  local mirror work dsc source jobs
  mirror=$(host_mirror)
  curl -fs -o /dev/null --max-time 30 "$mirror/dists/trixie/Release" ||
    die "cannot reach the Debian archive at $mirror (dists/trixie/Release): no network?"
  command -v dpkg-source >/dev/null || die "dpkg-source is not installed: apt-get install dpkg-dev"
  for header in /usr/include/tcl8.6/tcl.h /usr/include/tcl8.6/tk.h; do
    [ -e "$header" ] || die "$header is missing: apt-get install tk-dev (for _tkinter)"
  done
  work=$(mktemp -d /var/tmp/tarvo-python313t.XXXXXX)
  # shellcheck disable=SC2064 # the folder is known now
  trap "rm -rf '$work'" EXIT

  echo "=== python3.13's source package, from trixie on $mirror"
  mkdir -p "$work/apt/lists/partial" "$work/apt/archives/partial"
  echo "deb-src $mirror trixie main" >"$work/apt/sources.list"
  local apt=(apt-get -q -o Dir::Etc::SourceList="$work/apt/sources.list" -o Dir::Etc::SourceParts=/nonexistent
             -o Dir::State::Lists="$work/apt/lists" -o Dir::Cache::Archives="$work/apt/archives"
             -o Acquire::Check-Valid-Until=false -o APT::Sandbox::User=root)
  "${apt[@]}" update >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; die "apt-get update of trixie's sources failed"; }
  (cd "$work" && "${apt[@]}" source --download-only python3.13 >>"$work/apt.log" 2>&1) ||
    { cat "$work/apt.log"; die "apt-get source python3.13 failed"; }
  dsc=$(ls "$work"/python3.13_*.dsc)
  # The upstream sources as released: Debian's patches fit its own layout
  # under /usr, not a prefix of ours.
  dpkg-source --skip-patches -x "$dsc" "$work/src" >>"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log"; die "dpkg-source could not unpack ${dsc##*/}"; }
  source=$work/src
  echo "source: ${dsc##*/}"

  echo "=== configure --disable-gil, make (log in $work/build.log until done)"
  jobs=$(nproc)
  mkdir -p "$work/build"
  (
    cd "$work/build"
    nice -n 10 "$source/configure" --prefix="$prefix" --disable-gil --with-ensurepip=install \
      --disable-test-modules >"$work/build.log" 2>&1 &&
      nice -n 10 make -j"$jobs" >>"$work/build.log" 2>&1 &&
      rm -rf "$prefix" &&
      nice -n 10 make install >>"$work/build.log" 2>&1
  ) || { tail -n 40 "$work/build.log"; die "the build of CPython 3.13t failed"; }
  usable || die "the CPython 3.13t built in $prefix lacks _tkinter or has the GIL on"
  rm -rf "$work"
  trap - EXIT
}

start=$SECONDS
if usable; then
  echo "CPython 3.13t: $python ($("$python" -c 'import platform; print(platform.python_version())'))"
else
  build_python
  echo "CPython 3.13t built in $((SECONDS - start)) s: $python"
fi

start=$SECONDS
# hypothesis's sources need a Rust crate registry to build: a wheel or nothing.
PIP_ONLY_BINARY=hypothesis make --no-print-directory build PYTHON="$python" VENV="$venv" \
  BUILD_DIR=build/py3.13t
echo "build on 3.13t: $((SECONDS - start)) s"

start=$SECONDS
status=0
# All but tests/test_typing.py: mypy has no compiled build for 3.13t, and
# interpreted it takes over ten minutes here for what every other run
# checks already (the stubs are the same on every CPython).
# shellcheck disable=SC2086 # PYTEST_ARGS holds several arguments
env -u PYTHON_GIL "$venv/bin/python" -W error::RuntimeWarning -m pytest \
  -W error::RuntimeWarning --ignore=tests/test_typing.py ${PYTEST_ARGS:-} || status=$?
echo "test suite on 3.13t: exit status $status, $((SECONDS - start)) s"
exit "$status"
