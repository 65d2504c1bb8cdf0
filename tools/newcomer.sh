#!/usr/bin/env bash
# What a new user meets on Debian SUITE (make newcomer-trixie): a system with
# only the README's prerequisites (Debian's python3, make, g++, git), a fresh
# clone of this branch, and then the README's two commands, `make demo` and
# `make test`, exactly as written.
#
#   tools/newcomer.sh SUITE
#
# The debootstrapped system is kept between runs (tools/chroot-lib.sh); each
# run works in a copy of it, removed afterwards, so that nothing installed by
# an earlier run helps.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=tools/chroot-lib.sh
source tools/chroot-lib.sh

suite=${1:?usage: $0 SUITE}
mirror=$(host_mirror)
preflight "$suite" "$mirror"
lock_suite "$suite"
base="$CHROOTS/$suite"
root="$CHROOTS/$suite-newcomer"

remove_copy() {
  cleanup_mounts
  unmount_below "$root"
  if awk -v r="$root" '$2 == r || index($2, r "/") == 1 {found = 1} END {exit !found}' /proc/mounts; then
    echo "$(basename "$0"): $root still has mounts; left in place" >&2
    return
  fi
  rm -rf "$root"
}
trap remove_copy EXIT
trap 'exit 130' INT TERM

start=$SECONDS
ensure_chroot "$suite" "$mirror"
remove_copy
cp -a "$base" "$root"
mount_into "$root"
echo "chroot $suite ready: $((SECONDS - start)) s"

start=$SECONDS
chroot_apt "$root" python3 make g++ git
echo "the README's prerequisites: $((SECONDS - start)) s"

# This branch, as a clone would bring it.
branch=$(git rev-parse --abbrev-ref HEAD)
git bundle create -q "$root/tmp/tarvo.bundle" HEAD "$branch"
in_chroot "$root" git -c init.defaultBranch=main clone -q -b "$branch" /tmp/tarvo.bundle /root/tarvo.tcl ||
  die "git clone failed in the $suite chroot"

status=0
for command in demo test; do
  start=$SECONDS
  result=0
  in_chroot "$root" make -C /root/tarvo.tcl --no-print-directory "$command" || result=$?
  echo "make $command on $suite: exit status $result, $((SECONDS - start)) s"
  [ "$result" -eq 0 ] || status=1
done
exit "$status"
