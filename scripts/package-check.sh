#!/usr/bin/env bash
# Proves the package built for a release (scripts/make-deb.sh) on a clean
# root of that release: the package alone is installed (apt works out what it
# needs; nothing else of the project's is there), the installed module finds
# every library but the three the host supplies, and the stand-in host of that
# release's build tree loads it from where it was installed: its descriptor
# and version read, one mp4 rendered, then decoded by Debian's ffprobe; two
# farm segments rendered and joined by the installed qeljoin.
#
#   scripts/package-check.sh SUITE BUILD-DIR HOST-ROOT
#       e.g. trixie build-trixie /var/cache/qel-roots/trixie, or bookworm build /
#
# HOST-ROOT is the root BUILD-DIR was built in: / for this machine.
# The clean root is a minimal debootstrap kept under QEL_ROOTS as SUITE-clean
# and never changed: each check runs on a throw-away overlay of it. Run as
# root. Exit 77 (skipped, said loudly) only when unstable's archive cannot
# give the root or the packages; anything else that stops the check is 1.
set -euo pipefail

suite=${1:?usage: package-check.sh SUITE BUILD-DIR HOST-ROOT}
build=${2:?usage: package-check.sh SUITE BUILD-DIR HOST-ROOT}
host_root=${3:?usage: package-check.sh SUITE BUILD-DIR HOST-ROOT}
src=$(cd "$(dirname "$0")/.." && pwd)
me=package-check.sh
# shellcheck source=scripts/roots.sh
. "$src/scripts/roots.sh"
pristine=$roots/$suite-clean
deb=$(ls "$src"/out/deb/"$suite"/qelffmpegwriter_*.deb 2>/dev/null | head -n 1 || true)
[ -n "$deb" ] || fail "no package in out/deb/$suite: run scripts/make-deb.sh (make deb) for $suite first"
[ -x "$src/$build/qelhost" ] || fail "no $build/qelhost: build the $suite tree first"
[ -x "$host_root/usr/bin/dpkg" ] || fail "$host_root is no Debian root"
make_root "$pristine"

layer=$(mktemp -d "$roots/$suite-check.XXXXXX")
root=$layer/root
mkdir -p "$layer/upper" "$layer/work" "$root"
cleanup() {
  unmount_all
  rm -rf --one-file-system "$layer"
}
trap cleanup EXIT
mount -t overlay overlay -o "lowerdir=$pristine,upperdir=$layer/upper,workdir=$layer/work" "$root"
mounts+=("$root")
for dir in proc dev dev/pts; do bind "/$dir" "$root/$dir"; done
bind "$src" "$root/src"
mount -o remount,bind,ro "$root/src"
prepare_apt "$root"
cp "$deb" "$root/tmp/"
in_root() {
  chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive "$@"
}
apt_get() { in_root apt-get -qq -o DPkg::Lock::Timeout=300 "$@"; }

echo "== $suite: installing $(basename "$deb") into a clean root"
apt_get update || unusable "apt could not read the '$suite' archive"
apt_get install -y --no-install-recommends "/tmp/$(basename "$deb")" >/dev/null ||
  unusable "apt could not install the package's dependencies from the '$suite' archive"
module=$(in_root dpkg -L qelffmpegwriter | grep '/QelFFmpegWriter\.so$') || fail "the package installs no QelFFmpegWriter.so"
echo "installed: $module"
missing=$(in_root ldd "$module" | awk '/not found/ { print $1 }' | sort | tr '\n' ' ')
[ "$missing" = "libVelmoraCore.so libVelmoraServices.so libfflink.so " ] ||
  fail "the installed module misses libraries beyond the host's three: $missing"

# What the stand-in host itself needs, as the release it was built on names
# it (its own build tree holds the host's three libraries), and Debian's
# ffprobe to decode with.
needs=()
for library in $(in_root ldd "/src/$build/qelhost" | awk '/not found/ { print $1 }'); do
  path=$(chroot "$host_root" sh -c "ldconfig -p | awk -v l=$library '\$1 == l { print \$NF; exit }'")
  [ -n "$path" ] || fail "qelhost needs $library, which its own release does not have"
  needs+=("$(chroot "$host_root" dpkg -S "$(readlink -f "$host_root$path" | sed "s,^$host_root,,")" | cut -d: -f1 | head -n 1)")
done
apt_get install -y --no-install-recommends "${needs[@]}" ffmpeg >/dev/null ||
  unusable "apt could not install ffprobe and the stand-in host's libraries from the '$suite' archive"

version=$(sed -n 's/^project(QelFFmpegWriter VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
in_root "/src/$build/qelhost" info --module "$module" | tee "$layer/info.txt"
grep -q "^QelFFmpegWriter $version " "$layer/info.txt" || fail "the installed module does not say version $version"
in_root sh -c "cd /tmp && /src/$build/qelhost render --module '$module' --frames 25 --size 320x240 --audio-channels 2 \
  --set klavformat=mp4 --set klavvideocodec=libx264 --set klavaudiocodec=aac -o /tmp/installed.mp4"
counts=$(in_root ffprobe -v error -count_frames -show_entries stream=codec_name,nb_read_frames -of csv=p=0 /tmp/installed.mp4)
echo "decoded: $(echo "$counts" | tr '\n' ' ')"
echo "$counts" | grep -q '^h264,25$' || fail "the render through the installed module did not decode to 25 pictures"
echo "$counts" | grep -q '^aac,' || fail "the render through the installed module has no sound"

# The farm's commands: two segments rendered through the installed module and
# joined by the installed qeljoin, which runs beside the host's libraries.
for tool in qeljoin qelfarm; do
  in_root sh -c "command -v $tool" >/dev/null || fail "the package installs no $tool"
done
for range in 0-11 12-24; do
  in_root sh -c "cd /tmp && /src/$build/qelhost render --module '$module' --frames 25 --size 320x240 --range $range \
    --set klavformat=mov --set klavvideocodec=prores_ks --set klavaudiocodec=pcm_s16le --set klavsegment=1 \
    -o /tmp/joined.mov" >/dev/null
done
in_root env LD_LIBRARY_PATH="/src/$build" qeljoin /tmp/joined.mov --frames 25 ||
  fail "the installed qeljoin did not join two segments"
counts=$(in_root ffprobe -v error -count_frames -show_entries stream=codec_name,nb_read_frames -of csv=p=0 /tmp/joined.mov)
echo "joined: $(echo "$counts" | tr '\n' ' ')"
echo "$counts" | grep -q '^prores,25$' || fail "the joined movie did not decode to 25 pictures"
echo "== $suite: the package installs, loads, renders and joins"
