#!/usr/bin/env bash
# The whole test suite inside a Debian chroot, on Debian's own CPython of
# that suite, its tkinter, TclX and Expect, and its compiler:
#
#   tools/test-chroot.sh SUITE PYTHON      (make test-chroot SUITE=sid PYTHON=python3.14)
#
# The chroot is kept between runs (tools/chroot-lib.sh).  The checkout's
# files (tracked and new ones, not ignored ones) are copied in afresh on each
# run; the venv and the build folder stay in the chroot, one per Python.
# PYTEST_ARGS in the environment go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=tools/chroot-lib.sh
source tools/chroot-lib.sh

suite=${1:?usage: $0 SUITE PYTHON}
python=${2:?usage: $0 SUITE PYTHON}
open_chroot "$suite" "$python"

# The interpreter and what the build needs; the project's own script adds
# the Tcl packages, as on a user's machine.
start=$SECONDS
in_chroot "$root" apt-get update -qq || die "apt-get update failed in the $suite chroot"
policy=$(in_chroot "$root" apt-cache policy "$python")
if ! grep -q 'Candidate: [0-9]' <<<"$policy"; then
  die "Debian $suite has no package $python in this archive"
fi
chroot_apt "$root" "$python" make g++ git
copy_checkout "$root"
in_chroot "$root" env PYTHON="$python" /src/tarvo/tools/system-deps.sh --extensions ||
  die "tools/system-deps.sh failed in the $suite chroot"
echo "packages for $python: $((SECONDS - start)) s"

start=$SECONDS
in_chroot "$root" make -C /src/tarvo --no-print-directory build PYTHON="$python" \
  VENV="/var/tmp/tarvo/venv-$minor" BUILD_DIR="/var/tmp/tarvo/build-$minor" ||
  die "the build failed on $python in the $suite chroot"
echo "build on $python: $((SECONDS - start)) s"

start=$SECONDS
status=0
# shellcheck disable=SC2086 # PYTEST_ARGS holds several arguments
in_chroot "$root" sh -c "cd /src/tarvo && /var/tmp/tarvo/venv-$minor/bin/python -m pytest ${PYTEST_ARGS:-}" || status=$?
echo "test suite on $python ($suite): exit status $status, $((SECONDS - start)) s"
exit "$status"
