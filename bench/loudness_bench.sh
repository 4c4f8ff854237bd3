#!/usr/bin/env bash
# What measuring the sound's loudness costs a render: an x264 ultrafast
# 1080p render with 5.1 sound at 48 kHz (AAC) through qelhost, set against
# the meter alone on the same length of 5.1 sound in the frames the AAC
# encoder takes, in one run; and the meter's memory after 1 and 60 minutes.
# The meter runs on the render's own thread, so its time is what it adds.
#   bench/loudness_bench.sh [BUILD_DIR]   (FRAMES=750)
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
# shellcheck disable=SC2034  # read by bench_lib.sh
build="$(cd "${1:-$top/build}" && pwd)"
work="$(mktemp -d)"
frames="${FRAMES:-750}"
# shellcheck source=bench_lib.sh
. "$top/bench/bench_lib.sh"
"$top/scripts/install-deps.sh" bench >/dev/null
trap 'rm -rf "$work"' EXIT

machine_line
render=$(measure "$build/qelhost" render --frames "$frames" --size 1920x1080 --audio-channels 6 \
  --set klavformat=mp4 --set klavvideocodec=libx264 --set klavquality=Minimum --set klavaudiocodec=aac \
  -o "$work/m.mp4" | cut -d' ' -f1)
seconds=$(calc "$frames / 25")
meter=$("$build/loudness_bench" "$seconds" | tee "$work/meter.txt" | sed -n 's/.* measured in \([0-9.]*\) s/\1/p')
printf 'render: %d frames of 1920x1080 (%.0f s) x264 ultrafast + AAC 5.1 in %.2f s; the meter on %.0f s of 5.1: %.3f s = %.2f%% of the render (goal <= 1%%)\n' \
  "$frames" "$seconds" "$render" "$seconds" "$meter" "$(calc "100 * $meter / $render")"
tail -n 1 "$work/meter.txt"
