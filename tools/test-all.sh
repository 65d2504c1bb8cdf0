#!/usr/bin/env bash
# Runs the test suite on every supported CPython the machine has, each in a
# venv and a build folder of its own:
#
#   tools/test-all.sh            (PYTEST_ARGS in the environment go to pytest)
#
# The interpreters are those named in $PYTHONS (paths or commands), or else
# every CPython 3.9 to 3.13 that pyenv has, or that is on PATH as python3.X.
# Fails when any of them fails, and when the oldest or the newest supported
# version is missing (unless $PYTHONS names the interpreters).  A table of
# the results is printed at the end.
set -uo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=tools/pythons.sh
source tools/pythons.sh

oldest=${supported[0]}
newest=${supported[${#supported[@]} - 1]}

pythons=()
missing=()
if [ -n "${PYTHONS:-}" ]; then
  read -r -a pythons <<<"$PYTHONS"
else
  for minor in "${supported[@]}"; do
    if found=$(find_python "$minor"); then
      pythons+=("$found")
    else
      missing+=("$minor")
    fi
  done
fi

status=0
for minor in "${missing[@]}"; do
  if [ "$minor" = "$oldest" ] || [ "$minor" = "$newest" ]; then
    echo "test-all: CPython $minor, the oldest or newest supported version, is not on this machine" >&2
    status=1
  else
    echo "test-all: CPython $minor is not on this machine: skipped" >&2
  fi
done

logs=build/test-all
mkdir -p "$logs"
rows=()
for python in "${pythons[@]}"; do
  version=$("$python" -c 'import platform; print(platform.python_version())') || {
    rows+=("| $python | not runnable | |")
    status=1
    continue
  }
  minor=${version%.*}
  log=$logs/$minor.log
  echo "=== CPython $version ($python): log in $log"
  if ! make --no-print-directory build PYTHON="$python" VENV=".venv-$minor" BUILD_DIR="build/py$minor" \
      >"$log" 2>&1; then
    tail -n 30 "$log"
    rows+=("| $version | failed | not run |")
    status=1
    continue
  fi
  # shellcheck disable=SC2086 # PYTEST_ARGS holds several arguments
  ".venv-$minor/bin/python" -m pytest ${PYTEST_ARGS:-} >>"$log" 2>&1
  result=$?
  summary=$(grep -E '(passed|failed|error).* in [0-9.]+s' "$log" | tail -n 1 | sed -E 's/^=+ //; s/ in [0-9.]+s.*//')
  [ -n "$summary" ] || summary="no summary (exit status $result)"
  if [ "$result" -ne 0 ]; then
    tail -n 40 "$log"
    status=1
  fi
  rows+=("| $version | ok | $summary |")
done

echo
echo "| Python | build | tests |"
echo "|---|---|---|"
printf '%s\n' "${rows[@]}"
exit "$status"
