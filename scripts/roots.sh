# shellcheck shell=bash disable=SC2154
# Sourced by debian-root.sh and package-check.sh: Debian roots of a release
# made from the archive this machine's apt configuration names (a mirror or a
# proxy set there is used too; QEL_MIRROR overrides it), kept under QEL_ROOTS
# (default /var/cache/qel-roots); how a run ends when the archive cannot give
# one; and the mounts undone on every way out. Needs $suite, $src and $me.

roots=${QEL_ROOTS:-/var/cache/qel-roots}

fail() {
  echo "$me: $*" >&2
  exit 1
}

# Unstable's archive may be mid-transition for a day: a skip (77), said
# loudly. A stable release that cannot be reached is a failure.
unusable() {
  case $suite in
    sid | unstable)
      echo "!!!! SKIPPED: $*" >&2
      echo "!!!! the Debian archive did not give a usable '$suite' root; this leg did not run" >&2
      exit 77
      ;;
    *) fail "$*" ;;
  esac
}

[ "$(id -u)" -eq 0 ] || fail "must run as root (debootstrap, chroot, mounts)"
command -v debootstrap >/dev/null || "$src/scripts/install-deps.sh" debootstrap
mirror=${QEL_MIRROR:-$("$src/scripts/apt-mirror.sh")} ||
  fail "this machine's apt configuration names no Debian archive; set QEL_MIRROR"
# A proxy apt is told to use serves debootstrap and the roots' apt as well.
proxy=$(apt-config shell p Acquire::http::Proxy | sed -n "s/^p='\(.*\)'$/\1/p")
if [ -n "$proxy" ]; then export http_proxy=$proxy; fi

# Mount points, undone last first by unmount_all.
mounts=()
bind() {  # FROM TO
  mkdir -p "$2"
  mount --bind "$1" "$2"
  mounts+=("$2")
}
unmount_all() {
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do umount -l "${mounts[$i]}" 2>/dev/null || true; done
}

# A minimal root of $suite at DIR, made when not whole (its marker is written
# last). The lock, held until the script ends, keeps a second run from
# remaking or unmounting it under the first.
make_root() {  # DIR
  local dir=$1 name m
  name=$(basename "$dir")
  mkdir -p "$roots"
  exec 9>"$roots/$name.lock"
  flock 9
  [ -f "$dir/.qel-root-ready" ] && return 0
  # Mounts of an earlier run that was killed would keep rm away from the host.
  for m in $(awk -v r="$dir/" 'index($2, r) == 1 { print $2 }' /proc/mounts | sort -r); do
    umount -l "$m" || true
  done
  rm -rf --one-file-system "$dir"
  echo "== making a Debian '$suite' root in $dir"
  echo "== from $mirror${proxy:+ through $proxy}"
  debootstrap --variant=minbase "$suite" "$dir" "$mirror" >"$roots/$name.debootstrap.log" 2>&1 ||
    { tail -n 20 "$roots/$name.debootstrap.log" >&2; unusable "debootstrap $suite from $mirror failed"; }
  touch "$dir/.qel-root-ready"
}

# What apt inside a root needs from this machine: its name service and proxy.
# The archive's unstable branch is served with a Release file past its
# Valid-Until date; apt refuses it without the setting.
prepare_apt() {  # ROOT
  cp /etc/resolv.conf "$1/etc/resolv.conf"
  echo 'Acquire::Check-Valid-Until "false";' >"$1/etc/apt/apt.conf.d/99qel-valid-until"
  if [ -n "$proxy" ]; then echo "Acquire::http::Proxy \"$proxy\";" >"$1/etc/apt/apt.conf.d/99qel-proxy"; fi
}
