#!/usr/bin/env bash
# Installs the Debian packages the package needs, when missing: the Tcl 8.6
# shared library and TclX; Expect (tcl-expect), which the tests and the demo
# of driving interactive programs use (importing the package does not need
# it); and, for a Python of Debian's own ($PYTHON, default python3), what it
# lacks to build and run the package: tkinter, venv (ensurepip) and the C
# headers.  Idempotent and quick when all is there.
#
# Package names differ between Debian releases (TclX is tclx8.4 on Debian 12
# and 13, tcl-tclx with TclX 8.6 in sid), so each need lists its names, and
# the first one the archive has is taken.  When none is there, it stops naming the need.
#
# --extensions adds the other binary extensions the tests load where they
# are installed (Thread, sqlite3, itcl, tls, tdom), and tcllib, whose json
# the README uses, so that CI runs those tests instead of skipping them.
#
# --chroots adds debootstrap, with which CI builds the Debian chroots that
# hold the newest CPythons, Tcl 9 and a bare Debian 13.
set -euo pipefail

python=${PYTHON:-python3}
command -v "$python" >/dev/null || {
  echo "system-deps: $python is not on this machine" >&2
  exit 1
}
minor=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')

# One need a line: its names, the first one found in the archive wins.
needs=("libtcl8.6" "tcl-tclx tclx8.4" "tcl-expect")
for option in "$@"; do
  case $option in
    --extensions) needs+=("tcl-thread" "libsqlite3-tcl" "tcl-itcl4" "tcl-tls" "tdom" "tcllib") ;;
    --chroots) needs+=("debootstrap") ;;
    *) echo "system-deps: unknown option $option (known: --extensions, --chroots)" >&2; exit 2 ;;
  esac
done
if ! "$python" -c 'import _tkinter' 2>/dev/null; then
  needs+=("python$minor-tk python3-tk")
fi
if ! "$python" -c 'import ensurepip, venv' 2>/dev/null; then
  needs+=("python$minor-venv python3-venv")
fi
if ! "$python" -c 'import os, sysconfig; assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' 2>/dev/null; then
  needs+=("python$minor-dev python3-dev")
fi

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
available() { [ -n "$(apt-cache policy "$1" 2>/dev/null | awk '/Candidate:/ && $2 != "(none)" {print $2}')" ]; }

unmet=()
for need in "${needs[@]}"; do
  met=no
  for p in $need; do
    if installed "$p"; then
      met=yes
      break
    fi
  done
  [ "$met" = yes ] || unmet+=("$need")
done
[ ${#unmet[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo apt-get update -qq

missing=()
for need in "${unmet[@]}"; do
  found=""
  for p in $need; do
    if available "$p"; then
      found=$p
      break
    fi
  done
  if [ -z "$found" ]; then
    release=$(. /etc/os-release 2>/dev/null && echo "${PRETTY_NAME:-this system}")
    echo "system-deps: no Debian package for ${need%% *} in the archive of ${release:-this system}" \
         "(tried: ${need// /, }); install it by hand, or use Debian 12 or later" >&2
    exit 1
  fi
  missing+=("$found")
done

echo "Installing Debian packages: ${missing[*]}"
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
