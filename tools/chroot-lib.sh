# Shared by tools/test-chroot.sh and tools/newcomer.sh (sourced, not run):
# a Debian chroot of one suite, made with debootstrap and kept between runs
# under $TARVO_CHROOTS (default /var/cache/tarvo-chroots/SUITE), outside the
# checkout.  It is rebuilt when it is missing or was left half made.
#
# The mirror is the host's own (the first URIs of its Debian sources, or
# $TARVO_MIRROR).  Inside the chroot apt accepts Release files past their
# Valid-Until date (a frozen mirror's sid has expired), and pip trusts the
# certificate authorities the host added locally.
#
# Every mount made here is undone by a trap on any exit; the chroot is only
# ever removed after checking that nothing is mounted below it.

CHROOTS=${TARVO_CHROOTS:-/var/cache/tarvo-chroots}
MOUNTED=()

die() {
  echo "$(basename "$0"): $*" >&2
  exit 2
}

# The mirror of the host's apt sources: deb822 first, then the one-line form.
host_mirror() {
  if [ -n "${TARVO_MIRROR:-}" ]; then
    echo "$TARVO_MIRROR"
    return
  fi
  local uri
  uri=$(grep -hE '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '{print $2}' |
        grep -v -- '-security' | head -n 1)
  [ -n "$uri" ] || uri=$(grep -hE '^deb ' /etc/apt/sources.list 2>/dev/null | awk '{print $2}' |
                         grep -v -- '-security' | head -n 1)
  [ -n "$uri" ] || uri=http://deb.debian.org/debian
  echo "${uri%/}"
}

# One run at a time on a suite's chroot: the copy of the checkout in it, its
# mounts and the newcomer's copy of it are not to be shared.
lock_suite() {
  mkdir -p "$CHROOTS"
  exec 9>"$CHROOTS/$1.lock"
  if ! flock -n 9; then
    echo "$(basename "$0"): waiting for another run on the $1 chroot" >&2
    flock 9
  fi
}

# Stops with one line when the chroot cannot be made here.
preflight() {
  local suite=$1 mirror=$2
  [ "$(id -u)" -eq 0 ] || die "needs root (debootstrap, chroot and mounts)"
  command -v debootstrap >/dev/null || die "debootstrap is not installed: apt-get install debootstrap"
  command -v curl >/dev/null || die "curl is not installed: apt-get install curl"
  curl -fs -o /dev/null --max-time 30 "$mirror/dists/$suite/Release" ||
    die "cannot reach the Debian archive at $mirror (dists/$suite/Release): no network?"
}

# Undo every mount below $1 (deepest first), ours or left from an earlier run.
unmount_below() {
  local root=$1 target
  [ -d "$root" ] || return 0
  while read -r target; do
    umount "$target" 2>/dev/null || umount -l "$target" 2>/dev/null || true
  done < <(awk -v r="$(realpath "$root")" '$2 == r || index($2, r "/") == 1 {print $2}' /proc/mounts | sort -r)
}

cleanup_mounts() {
  local i
  for ((i = ${#MOUNTED[@]} - 1; i >= 0; i--)); do
    umount "${MOUNTED[$i]}" 2>/dev/null || umount -l "${MOUNTED[$i]}" 2>/dev/null || true
  done
  MOUNTED=()
}

# proc, dev, dev/pts and sys of the host; private, so nothing done below
# them inside the chroot reaches the host's own mounts.
mount_into() {
  local root=$1
  mount -t proc proc "$root/proc" && MOUNTED+=("$root/proc") || die "cannot mount proc in $root"
  local dir
  for dir in dev dev/pts sys; do
    mount --bind "/$dir" "$root/$dir" && MOUNTED+=("$root/$dir") || die "cannot bind /$dir into $root"
    mount --make-private "$root/$dir"
  done
}

in_chroot() {
  local root=$1
  shift
  chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}

# The chroot of $1 ($CHROOTS/$1), made when missing.  Timings go to stderr.
ensure_chroot() {
  local suite=$1 mirror=$2 root="$CHROOTS/$1" partial="$CHROOTS/$1.partial" start
  [ -f "$root/.tarvo-ready" ] && return 0
  mkdir -p "$CHROOTS"
  for dir in "$root" "$partial"; do
    unmount_below "$dir"
    if grep -q " $(realpath -m "$dir")[ /]" /proc/mounts; then
      die "$dir still has mounts; not removing it"
    fi
    rm -rf "$dir"
  done
  start=$SECONDS
  echo "debootstrap $suite from $mirror into $partial" >&2
  debootstrap --variant=minbase --include=ca-certificates "$suite" "$partial" "$mirror" >"$CHROOTS/$suite.debootstrap.log" 2>&1 ||
    die "debootstrap of $suite failed: see $CHROOTS/$suite.debootstrap.log"
  echo "debootstrap $suite: $((SECONDS - start)) s" >&2
  printf 'deb %s %s main\n' "$mirror" "$suite" >"$partial/etc/apt/sources.list"
  printf 'Acquire::Check-Valid-Until "false";\nAPT::Install-Recommends "false";\n' \
    >"$partial/etc/apt/apt.conf.d/99tarvo"
  # The host's locally added authorities and pip settings.
  if [ -d /usr/local/share/ca-certificates ]; then
    cp -a /usr/local/share/ca-certificates/. "$partial/usr/local/share/ca-certificates/"
  fi
  [ -f /etc/pip.conf ] && cp -a /etc/pip.conf "$partial/etc/pip.conf"
  [ -d /etc/xdg/pip ] && mkdir -p "$partial/etc/xdg" && cp -a /etc/xdg/pip "$partial/etc/xdg/"
  in_chroot "$partial" update-ca-certificates >/dev/null ||
    die "update-ca-certificates failed in the $suite chroot"
  touch "$partial/.tarvo-ready"
  mv "$partial" "$root"
}

# apt-get install inside the chroot (mounted), with the index refreshed.
chroot_apt() {
  local root=$1
  shift
  in_chroot "$root" apt-get update -qq || die "apt-get update failed in $root"
  in_chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null ||
    die "apt-get install $* failed in $root"
}

# The checkout's files (tracked and new ones, not ignored ones) copied
# afresh to /src/tarvo in the chroot $1; their times are kept, so a build
# folder kept in the chroot rebuilds only what changed.
copy_checkout() {
  local root=$1
  rm -rf "$root/src/tarvo"
  mkdir -p "$root/src/tarvo"
  git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf - | tar -xf - -C "$root/src/tarvo"
}

# What every script that runs in a chroot starts with, for SUITE and a
# Debian interpreter PYTHON (python3.X): checks the name and that the
# chroot can be made, takes the suite's lock, makes the chroot where it is
# missing and mounts into it, with a trap that unmounts.  Sets `root`,
# `minor` (3.X) and `mirror` for the caller.
open_chroot() {
  local suite=$1 python=$2 start
  case "$python" in
    python3.[0-9]*) ;;
    *) die "PYTHON must name one of Debian's versioned interpreters, such as python3.14 (got $python)" ;;
  esac
  minor=${python#python}
  mirror=$(host_mirror)
  preflight "$suite" "$mirror"
  lock_suite "$suite"
  root="$CHROOTS/$suite"
  trap cleanup_mounts EXIT
  trap 'exit 130' INT TERM
  start=$SECONDS
  ensure_chroot "$suite" "$mirror"
  mount_into "$root"
  echo "chroot $suite ready: $((SECONDS - start)) s"
}
