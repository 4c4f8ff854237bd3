#!/usr/bin/env bash
# Runs a make target of this checkout inside a Debian root of another release,
# so the module is built and tested against that release's FFmpeg.
#
#   scripts/debian-root.sh SUITE [MAKE-TARGET...]    e.g. trixie test, sid test
#
# The root lives outside the checkout (QEL_ROOTS, default /var/cache/qel-roots)
# and is reused by later runs; it is made anew when missing or half made.
# The checkout is bind-mounted at /src; /proc and /dev are mounted for the run
# and unmounted again on every way out.
#
# The archive is the one this machine's own apt configuration names for its
# release (a mirror or a proxy set there is used too); QEL_MIRROR overrides it.
#
# Exit codes: that of make inside the root; 77 when the archive could not give
# an unstable root or its packages (skipped, said loudly: unstable may be
# mid-transition); 1 when a stable release's root cannot be made.
set -euo pipefail

suite=${1:?usage: debian-root.sh SUITE [MAKE-TARGET...]}
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(test)

src=$(cd "$(dirname "$0")/.." && pwd)
roots=${QEL_ROOTS:-/var/cache/qel-roots}
root=$roots/$suite
build=build-$suite

skip() {
  echo "!!!! SKIPPED: $*" >&2
  echo "!!!! the Debian archive did not give a usable '$suite' root; this leg did not run" >&2
  exit 77
}

fail() {
  echo "debian-root.sh: $*" >&2
  exit 1
}

# Unstable's archive may be mid-transition for a day: a skip. A stable release
# that cannot be reached is a failure.
unusable() {
  case $suite in
    sid | unstable) skip "$*" ;;
    *) fail "$*" ;;
  esac
}

if [ "$(id -u)" -ne 0 ]; then
  fail "must run as root (debootstrap, chroot, mounts)"
fi

mirror=${QEL_MIRROR:-$("$src/scripts/apt-mirror.sh")} ||
  fail "this machine's apt configuration names no Debian archive; set QEL_MIRROR"
# A proxy apt is told to use serves debootstrap and the root's apt as well.
proxy=$(apt-config shell p Acquire::http::Proxy | sed -n "s/^p='\(.*\)'$/\1/p")
if [ -n "$proxy" ]; then export http_proxy=$proxy; fi

mounts=()
cleanup() {
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    umount -l "${mounts[$i]}" 2>/dev/null || true
  done
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

bind() {
  mkdir -p "$2"
  mount --bind "$1" "$2"
  mounts+=("$2")
}

in_root() {
  chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive CI="${CI:-}" QEL_WERROR="${QEL_WERROR:-}" "$@"
}

command -v debootstrap >/dev/null || "$src/scripts/install-deps.sh" debootstrap

# One run at a time per root: a second would remake or unmount it under the first.
mkdir -p "$roots"
exec 9>"$roots/$suite.lock"
flock 9

# A root is whole only once its marker is written; anything else is remade.
if [ ! -f "$root/.qel-root-ready" ]; then
  # Mounts of an earlier run that was killed would keep rm away from the host.
  for m in $(awk -v r="$root/" 'index($2, r) == 1 { print $2 }' /proc/mounts | sort -r); do
    umount -l "$m" || true
  done
  rm -rf --one-file-system "$root"
  echo "== making a Debian '$suite' root in $root"
  echo "== from $mirror${proxy:+ through $proxy}"
  debootstrap --variant=minbase "$suite" "$root" "$mirror" >"$roots/$suite.debootstrap.log" 2>&1 ||
    { tail -n 20 "$roots/$suite.debootstrap.log" >&2; unusable "debootstrap $suite from $mirror failed"; }
  touch "$root/.qel-root-ready"
fi

cp /etc/resolv.conf "$root/etc/resolv.conf"
# The archive's unstable branch is served with a Release file past its
# Valid-Until date; apt refuses it without this.
echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/99qel-valid-until"
if [ -n "$proxy" ]; then echo "Acquire::http::Proxy \"$proxy\";" >"$root/etc/apt/apt.conf.d/99qel-proxy"; fi
bind /proc "$root/proc"
bind /dev "$root/dev"
bind "$src" "$root/src"

# A stable release that refuses our list means the list is wrong.
if ! in_root /src/scripts/install-deps.sh; then
  unusable "the build packages could not be installed in the '$suite' root"
fi

echo "== $suite: $(in_root sh -c '. /etc/os-release; echo "$PRETTY_NAME"'), FFmpeg $(in_root ffmpeg -hide_banner -version | sed -n '1s/^ffmpeg version \([^ ]*\).*/\1/p')"
in_root make -C /src BUILD="$build" "${targets[@]}"
