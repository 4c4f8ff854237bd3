#!/usr/bin/env bash
# Runs a make target of this checkout inside a Debian root of another release,
# so the module is built and tested against that release's FFmpeg.
#
#   scripts/debian-root.sh SUITE [MAKE-TARGET...]    e.g. trixie test, sid test
#
# The root lives outside the checkout (QEL_ROOTS, default /var/cache/qel-roots)
# and is reused by later runs; it is made anew when missing or half made, from
# the archive this machine's own apt configuration names (scripts/roots.sh).
# The checkout is bind-mounted at /src; /proc and /dev are mounted for the run
# and unmounted again on every way out.
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
me=debian-root.sh
# shellcheck source=scripts/roots.sh
. "$src/scripts/roots.sh"
root=$roots/$suite
build=build-$suite

trap unmount_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

in_root() {
  chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive CI="${CI:-}" QEL_WERROR="${QEL_WERROR:-}" "$@"
}

make_root "$root"
prepare_apt "$root"
bind /proc "$root/proc"
bind /dev "$root/dev"
bind "$src" "$root/src"

# A stable release that refuses our list means the list is wrong.
if ! in_root /src/scripts/install-deps.sh; then
  unusable "the build packages could not be installed in the '$suite' root"
fi

echo "== $suite: $(in_root sh -c '. /etc/os-release; echo "$PRETTY_NAME"'), FFmpeg $(in_root ffmpeg -hide_banner -version | sed -n '1s/^ffmpeg version \([^ ]*\).*/\1/p')"
in_root make -C /src BUILD="$build" "${targets[@]}"
