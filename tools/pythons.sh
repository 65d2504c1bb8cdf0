# Shared by tools/test-all.sh and tools/wheels.sh (sourced, not run): the
# CPythons the package supports on the host, and where each one is.

supported=(3.9 3.10 3.11 3.12 3.13)

# The interpreter of one minor version: pyenv's newest build of it, else
# python3.X on PATH (not a pyenv shim, which may point anywhere).
find_python() {
  local minor=$1 root candidate
  if root=$(pyenv root 2>/dev/null); then
    candidate=$(ls -d "$root"/versions/"$minor".* 2>/dev/null | grep -E "/$minor\.[0-9]+$" | sort -V | tail -n 1)
    if [ -n "$candidate" ] && [ -x "$candidate/bin/python$minor" ]; then
      echo "$candidate/bin/python$minor"
      return
    fi
  fi
  candidate=$(command -v "python$minor" 2>/dev/null) || return 1
  case "$candidate" in */shims/*) return 1 ;; esac
  echo "$candidate"
}
