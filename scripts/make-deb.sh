#!/usr/bin/env bash
# Builds the Debian package of this checkout for the release this machine (or
# Debian root) runs, with Debian's own tooling, and checks it with lintian.
#
#   scripts/make-deb.sh      -> out/deb/SUITE/qelffmpegwriter_VERSION_ARCH.deb
#
# SUITE is the release's codename, "sid" for unstable. The version is the
# project's (CMakeLists.txt), with ~debNN for a stable release so that the
# package of a later release sorts after it. QEL_WERROR=ON makes warnings
# errors, as in CI. Exit 1 when the build fails or lintian finds an error.
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
"$src/scripts/install-deps.sh" deb

version=$(sed -n 's/^project(QelFFmpegWriter VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
[ -n "$version" ] || { echo "make-deb.sh: no version in CMakeLists.txt" >&2; exit 1; }
# shellcheck disable=SC1091
. /etc/os-release
if [ -n "${VERSION_ID:-}" ]; then
  suite=$VERSION_CODENAME distribution=$VERSION_CODENAME version+="~deb$VERSION_ID"
else
  suite=sid distribution=unstable  # unstable's os-release names no version
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tree=$work/qelffmpegwriter-$version
mkdir -p "$tree"
# The files git knows, as they stand in the checkout.
git -C "$src" ls-files -z | (cd "$src" && tar --null -T - -cf -) | tar -C "$tree" -xf -
when=$(git -C "$src" log -1 --format=%ct 2>/dev/null || date +%s)
cat >"$tree/debian/changelog" <<CHANGES
qelffmpegwriter ($version) $distribution; urgency=medium

  * QelFFmpegWriter $version for Debian ${VERSION_ID:-unstable} ($suite).

 -- $(sed -n 's/^Maintainer: //p' "$tree/debian/control")  $(date -R -u -d "@$when")
CHANGES

echo "== building qelffmpegwriter $version for $PRETTY_NAME"
(cd "$tree" && DEB_BUILD_OPTIONS="parallel=$(nproc) nocheck" QEL_WERROR=${QEL_WERROR:-OFF} \
  dpkg-buildpackage -b -us -uc) >"$work/build.log" 2>&1 ||
  { tail -n 40 "$work/build.log" >&2; echo "make-deb.sh: the package did not build" >&2; exit 1; }
grep -E "warning:" "$work/build.log" >&2 || true

deb=$(ls "$work"/qelffmpegwriter_*.deb)
echo "== lintian $(basename "$deb")"
lintian "$deb" | tee "$work/lintian.log" || true
errors=$(grep -c '^E: ' "$work/lintian.log" || true)
echo "lintian: $errors errors, $(grep -c '^W: ' "$work/lintian.log" || true) warnings"

out=$src/out/deb/$suite
mkdir -p "$out"
rm -f "$out"/qelffmpegwriter_*.deb
cp "$deb" "$out/"
echo "== $out/$(basename "$deb"): depends on $(dpkg-deb -f "$deb" Depends)"
[ "$errors" -eq 0 ]
