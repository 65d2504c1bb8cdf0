#!/usr/bin/env bash
# Installs the Debian packages the package needs at run time, when missing:
# the Tcl 8.6 shared library and TclX; and Expect (tcl-expect), which the
# tests and the demo of driving interactive programs use (importing the
# package does not need it).  Idempotent and quick when all is there.
#
# --extensions adds the other binary extensions the tests load where they
# are installed (Thread, sqlite3, itcl, tls, tdom), so that CI runs those
# tests instead of skipping them.
set -euo pipefail

packages=(libtcl8.6 tclx8.4 tcl-expect)
if [ "${1:-}" = "--extensions" ]; then
  packages+=(tcl-thread libsqlite3-tcl tcl-itcl4 tcl-tls tdom)
fi
if ! "${PYTHON:-python3}" -c 'import _tkinter' 2>/dev/null; then
  packages+=(python3-tk)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing Debian packages: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
