#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian 12 or 13 machine
# (or Debian unstable). Only packages that are missing are asked for, so a
# second run is quick.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev libswresample-dev ffmpeg
  libgtest-dev nlohmann-json3-dev libcli11-dev libhwy-dev
  # Loudness and true peak of every output's sound are measured with it.
  libebur128-dev
  # Readers besides FFmpeg that a movie left by a crash must satisfy.
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-libav mediainfo
  # The power-cut check records a render's file-system calls with it.
  strace
)
# Arguments name more packages, or a group of optional tools: "bench" is
# what the benchmarks measure with (time, python3) and profile with (perf), "clang"
# the fuzzing and warning builds' compiler with its sanitizer runtimes, "deb"
# Debian's packaging tools, "farm" the Slurm daemons and munge the farm test
# runs a one-machine cluster with.
with_clang=
for wanted in "$@"; do
  case "$wanted" in
    bench) packages+=(time linux-perf python3) ;;
    clang) packages+=(clang) with_clang=1 ;;
    deb) packages+=(debhelper dpkg-dev lintian fakeroot) ;;
    farm) packages+=(slurm-wlm munge) ;;
    *) packages+=("$wanted") ;;
  esac
done

updated=
install_missing() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  # Two of our own scripts installing at once would trip over apt's locks.
  exec 8>/tmp/qel-install-deps.lock
  flock 8
  echo "installing: ${missing[*]}"
  local log
  log=$(mktemp)
  if ! { [ -n "$updated" ] || apt-get update -qq; } >"$log" 2>&1 ||
     ! apt-get install -y -qq -o DPkg::Lock::Timeout=300 --no-install-recommends "${missing[@]}" >>"$log" 2>&1; then
    tail -n 30 "$log" >&2
    rm -f "$log"
    exit 1
  fi
  updated=1
  rm -f "$log"
}

install_missing "${packages[@]}"
[ -n "$with_clang" ] || exit 0

# The sanitizer and fuzzer runtimes are named after the release's own clang
# (libclang-rt-14-dev on Debian 12, -19- on Debian 13).
clang_major=$(readlink -f "$(command -v clang)" | sed -n 's,.*/llvm-\([0-9][0-9]*\)/.*,\1,p')
if [ -z "$clang_major" ]; then
  echo "cannot tell the version of $(command -v clang)" >&2
  exit 1
fi
install_missing "libclang-rt-$clang_major-dev"
