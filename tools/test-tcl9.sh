#!/usr/bin/env bash
# The whole test suite on Tcl 9, inside the Debian sid chroot of
# tools/test-chroot.sh, on sid's CPython 3.14 (make test-tcl9):
#
#   tools/test-tcl9.sh [PYTHON]            (default python3.14)
#
# With TCL9_SANITIZE=1 in the environment the suite runs against the
# checked build instead (make sanitize: ASan, UBSan and assertions), with
# its own venv and build folder kept in the chroot too.
#
# Debian's CPython runs its tkinter on Tcl 8.6, so the run builds a
# `_tkinter` of its own against sid's Tcl/Tk 9.0, from CPython 3.13's
# Modules/_tkinter.c (the source package python3.13, which needs one change
# for 3.14: `_PyUnicode_AsUTF8String`, private since 3.14, becomes
# `PyUnicode_AsEncodedString`), and puts it first on the path of every
# Python the tests start.  The module is kept in the chroot, under
# /var/tmp/tarvo/tk9-X.Y, and built again only when the Python, the Tcl or
# the source changes.  TclX and Expect come from sid's tcl-tclx and
# tcl-expect, which carry Tcl 9 builds beside their 8.6 ones.
#
# The chroot (tools/chroot-lib.sh), its venv and build folder are kept
# between runs; the checkout's files are copied in afresh each time.
# PYTEST_ARGS in the environment go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=tools/chroot-lib.sh
source tools/chroot-lib.sh

suite=sid
python=${1:-python3.14}
open_chroot "$suite" "$python"

# The interpreter and the build tools; Tcl 9 and what builds against it;
# then the project's own script adds the packages a user has (tkinter, TclX,
# Expect, the extensions the tests load).
start=$SECONDS
in_chroot "$root" apt-get update -qq || die "apt-get update failed in the $suite chroot"
policy=$(in_chroot "$root" apt-cache policy "$python" tcl9.0-dev)
if ! grep -A2 "^$python:" <<<"$policy" | grep -q 'Candidate: [0-9]'; then
  die "Debian $suite has no package $python in this archive"
fi
if ! grep -A2 '^tcl9.0-dev:' <<<"$policy" | grep -q 'Candidate: [0-9]'; then
  die "Debian $suite has no package tcl9.0-dev in this archive"
fi
chroot_apt "$root" "$python" "$python-dev" make g++ git xz-utils \
  tcl9.0 tcl9.0-dev tk9.0-dev libtommath-dev tcl-tclx tcl-expect
rm -rf "$root/src/tarvo"
mkdir -p "$root/src/tarvo"
git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf - | tar -xf - -C "$root/src/tarvo"
in_chroot "$root" env PYTHON="$python" /src/tarvo/tools/system-deps.sh --extensions ||
  die "tools/system-deps.sh failed in the $suite chroot"
echo "packages for $python on Tcl 9: $((SECONDS - start)) s"

# The _tkinter of Tcl 9, built when its stamp (the versions it was built
# from) differs from today's.
start=$SECONDS
tk9="/var/tmp/tarvo/tk9-$minor"
# (The build's own revision, threaded-2, is part of the stamp.)
stamp="threaded-2 $(in_chroot "$root" dpkg-query -W -f='${Package}=${Version} ' "$python-dev" tcl9.0-dev tk9.0-dev libtommath-dev)"
if [ "$(cat "$root$tk9/stamp" 2>/dev/null)" != "$stamp" ]; then
  # The source package of CPython 3.13: sid's archive may no longer hold
  # the version its index lists, so trixie's is the fallback.
  printf 'deb-src %s %s main\ndeb-src %s trixie main\n' "$mirror" "$suite" "$mirror" \
    >"$root/etc/apt/sources.list.d/tarvo-src.list"
  in_chroot "$root" apt-get update -qq || die "apt-get update (with sources) failed in the $suite chroot"
  in_chroot "$root" sh -ec "
    rm -rf $tk9 && mkdir -p $tk9/src && cd $tk9/src
    apt-get source -qq --download-only python3.13 >/dev/null 2>&1 ||
      apt-get source -qq --download-only python3.13/trixie >/dev/null 2>&1
    tar -xJf python3.13_*.orig.tar.xz --strip-components=2 --wildcards \
      '*/Modules/_tkinter.c' '*/Modules/tkinter.h' '*/Modules/clinic/_tkinter.c.h'
    rm -f python3.13_*
    sed -i 's/_PyUnicode_AsUTF8String(value, \"surrogateescape\")/PyUnicode_AsEncodedString(value, \"utf-8\", \"surrogateescape\")/' _tkinter.c
    grep -q 'PyUnicode_AsEncodedString(value, \"utf-8\", \"surrogateescape\")' _tkinter.c
    # Tcl 9 is always threaded and has no tcl_platform(threaded): without
    # CPython 3.14's mend, tkinter would take it for unthreaded and run calls
    # from other threads in the interpreter instead of refusing them.
    sed -i 's/v->threaded = Tcl_GetVar2Ex(/v->threaded = TCL_MAJOR_VERSION >= 9 || Tcl_GetVar2Ex(/' _tkinter.c
    grep -q 'v->threaded = TCL_MAJOR_VERSION >= 9 ||' _tkinter.c
    suffix=\$($python -c 'import sysconfig; print(sysconfig.get_config_var(\"EXT_SUFFIX\"))')
    include=\$($python -c 'import sysconfig; print(sysconfig.get_paths()[\"include\"])')
    gcc -shared -fPIC -O2 -DTCL_WITH_EXTERNAL_TOMMATH -I/usr/include/tcl9.0 -I\$include -I\$include/internal \
      _tkinter.c -o $tk9/_tkinter\$suffix -ltcl9tk9.0 -ltcl9.0 -ltommath
  " || die "building a _tkinter for Tcl 9 failed in the $suite chroot"
  rm -f "$root/etc/apt/sources.list.d/tarvo-src.list"
  echo "$stamp" >"$root$tk9/stamp"
  echo "_tkinter for Tcl 9 built: $((SECONDS - start)) s"
fi
version=$(in_chroot "$root" env PYTHONPATH="$tk9" "$python" -c \
  'import tkinter; t = tkinter.Tcl(); print(tkinter.TclVersion, t.eval("package require Tclx"))') ||
  die "the _tkinter built for Tcl 9 does not load in the $suite chroot"
[ "$version" = "9.0 8.6" ] || die "the _tkinter built for Tcl 9 runs on Tcl and TclX $version, not 9.0 and 8.6"

start=$SECONDS
status=0
if [ -n "${TCL9_SANITIZE:-}" ]; then
  # shellcheck disable=SC2086 # PYTEST_ARGS holds several arguments
  in_chroot "$root" env PYTHONPATH="$tk9" make -C /src/tarvo --no-print-directory sanitize PYTHON="$python" \
    ASAN_VENV="/var/tmp/tarvo/venv-asan-$minor-tcl9" ASAN_BUILD_DIR="/var/tmp/tarvo/build-asan-$minor-tcl9" \
    PYTEST_ARGS="${PYTEST_ARGS:-}" || status=$?
  echo "checked build and test suite on $python with Tcl 9 ($suite): exit status $status, $((SECONDS - start)) s"
  exit "$status"
fi
in_chroot "$root" make -C /src/tarvo --no-print-directory build PYTHON="$python" \
  VENV="/var/tmp/tarvo/venv-$minor-tcl9" BUILD_DIR="/var/tmp/tarvo/build-$minor-tcl9" ||
  die "the build failed on $python in the $suite chroot"
echo "build on $python: $((SECONDS - start)) s"

start=$SECONDS
# shellcheck disable=SC2086 # PYTEST_ARGS holds several arguments
in_chroot "$root" env PYTHONPATH="$tk9" sh -c \
  "cd /src/tarvo && /var/tmp/tarvo/venv-$minor-tcl9/bin/python -m pytest ${PYTEST_ARGS:-}" || status=$?
echo "test suite on $python with Tcl 9 ($suite): exit status $status, $((SECONDS - start)) s"
exit "$status"
