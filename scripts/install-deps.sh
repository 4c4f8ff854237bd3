#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian 12 machine.
# Only packages that are missing are asked for, so a second run is quick.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev libswresample-dev ffmpeg
  libgtest-dev nlohmann-json3-dev libcli11-dev
  clang libclang-rt-14-dev valgrind
)
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
