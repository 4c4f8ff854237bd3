#!/usr/bin/env bash
# Render benchmark: the same 16-bit RGBA 1080p frames encoded with libx264
# (a) through the plug-in by `qelhost render` and (b) by the ffmpeg command
# line, with the same preset, tuning, GOP and rate control; then the peak
# memory of short and long renders. Prints the ratios measured in this run.
#   bench/render_bench.sh [BUILD_DIR]      (FRAMES=100 LONG_FRAMES=2000)
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
# shellcheck disable=SC2034  # read by bench_lib.sh
build="$(cd "${1:-$top/build}" && pwd)"
work="${BENCH_DIR:-/tmp/qel-render-bench}"
frames="${FRAMES:-100}"
long_frames="${LONG_FRAMES:-2000}"
# shellcheck source=bench_lib.sh
. "$top/bench/bench_lib.sh"
gop=$BENCH_GOP
mkdir -p "$work"
"$top/scripts/install-deps.sh" bench >/dev/null

raw=$(raw_frames 1920x1080 "$frames")

# The plug-in always applies its fixed H.264 tuning on top of the preset;
# the command line is given the same, so both runs are the same encode.
tuning=(-coder 1 -flags +loop -me_range 16 -subq 7 -sc_threshold 40 -i_qfactor 0.71 -b_strategy 1
  -qcomp 0.6 -qmin 10 -qmax 51 -qdiff 4 -bf 3 -refs 3 -trellis 1)

plugin() { plugin_x264 "$raw" 1920x1080 "$@"; }  # preset_index output frames

cli() {  # preset output
  measure ffmpeg -v error -y -f rawvideo -pix_fmt rgba64le -s 1920x1080 -r 25 -i "$raw" \
    -sws_flags fast_bilinear -c:v libx264 -preset "$1" -tune film -g $gop -keyint_min 1 "${tuning[@]}" \
    -pix_fmt yuv420p "$2"
}

machine_line
echo "frames: $frames of 1920x1080 rgba64le ($(du -h "$raw" | cut -f1)), GOP $gop, constant quality"
printf '%-10s %12s %12s %8s  %s\n' preset "plug-in fps" "ffmpeg fps" ratio "same x264 settings"
for pair in 0:ultrafast 2:fast; do
  index="${pair%%:*}"
  preset="${pair#*:}"
  read -r plugin_s plugin_kb < <(plugin "$index" "$work/plugin_$preset.mp4" "$frames")
  read -r cli_s cli_kb < <(cli "$preset" "$work/cli_$preset.mp4")
  same=no
  [ "$(x264_options "$work/plugin_$preset.mp4")" = "$(x264_options "$work/cli_$preset.mp4")" ] && same=yes
  printf '%-10s %12.2f %12.2f %8.2f  %s\n' "$preset" "$(calc "$frames / $plugin_s")" \
    "$(calc "$frames / $cli_s")" "$(calc "$plugin_s / $cli_s")" "$same"
  [ "$preset" = ultrafast ] && { short_kb=$plugin_kb; cli_short_kb=$cli_kb; }
done
echo "(ratio = plug-in time / ffmpeg time; the goal is <= 1.00)"

read -r _ long_kb < <(plugin 0 "$work/plugin_long.mp4" "$long_frames")
echo
echo "peak resident memory, ultrafast:"
print_growth "$frames" "$short_kb" "$long_frames" "$long_kb"
printf '  ffmpeg  %5d frames: %8.1f MB  (plug-in / ffmpeg %.2f; goal <= 1.00)\n' "$frames" \
  "$(calc "$cli_short_kb / 1024")" "$(calc "$short_kb / $cli_short_kb")"
