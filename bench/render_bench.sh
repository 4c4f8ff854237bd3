#!/usr/bin/env bash
# Render benchmark: the same 16-bit RGBA 1080p frames encoded with libx264
# (a) through the plug-in by `qelhost render` and (b) by the ffmpeg command
# line, with the same preset, tuning, GOP and rate control; then the peak
# memory of short and long renders. Prints the ratios measured in this run.
#   bench/render_bench.sh [BUILD_DIR]      (FRAMES=100 LONG_FRAMES=2000)
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$top/build}" && pwd)"
work="${BENCH_DIR:-/tmp/qel-render-bench}"
frames="${FRAMES:-100}"
long_frames="${LONG_FRAMES:-2000}"
gop=24
mkdir -p "$work"
"$top/scripts/install-deps.sh" time >/dev/null

raw="$work/frames_1920x1080_${frames}.rgba64le"
if [ ! -s "$raw" ]; then
  ffmpeg -v error -y -f lavfi -i "testsrc2=size=1920x1080:rate=25" -frames:v "$frames" \
    -pix_fmt rgba64le -f rawvideo "$raw"
fi
cat "$raw" >/dev/null  # both readers take the frames from the page cache

# The plug-in always applies its fixed H.264 tuning on top of the preset;
# the command line is given the same, so both runs are the same encode.
tuning=(-coder 1 -flags +loop -me_range 16 -subq 7 -sc_threshold 40 -i_qfactor 0.71 -b_strategy 1
  -qcomp 0.6 -qmin 10 -qmax 51 -qdiff 4 -bf 3 -refs 3 -trellis 1)

measure() {  # prints "seconds peak_kb"
  local log="$work/time.log"
  /usr/bin/time -f "%e %M" -o "$log" "$@" >/dev/null 2>"$work/stderr.log" || { cat "$work/stderr.log" >&2; return 1; }
  cat "$log"
}

plugin() {  # preset_index output frames
  measure "$build/qelhost" render --raw "$raw" --size 1920x1080 --fps 25 --frames "$3" -o "$2" \
    --set klavformat=mp4 --set "klavvideocodec=libx264" --set "klavaudiocodec=-- NO AUDIO --" \
    --set klavquality="$1" --set klavkeyframes=$gop --set klavfaststart=off --set klavvidbitrate=0
}

cli() {  # preset output
  measure ffmpeg -v error -y -f rawvideo -pix_fmt rgba64le -s 1920x1080 -r 25 -i "$raw" \
    -sws_flags fast_bilinear -c:v libx264 -preset "$1" -tune film -g $gop -keyint_min 1 "${tuning[@]}" \
    -pix_fmt yuv420p "$2"
}

calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }

x264_options() { strings "$1" | grep -m1 -o 'options: .*' | sed 's/threads=[0-9]* //; s/lookahead_threads=[0-9]* //'; }

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), load $(cut -d' ' -f1-3 /proc/loadavg)"
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
printf '  plug-in %5d frames: %8.1f MB\n' "$frames" "$(calc "$short_kb / 1024")"
printf '  plug-in %5d frames: %8.1f MB  (growth %.1f MB; goal < 10 MB)\n' "$long_frames" \
  "$(calc "$long_kb / 1024")" "$(calc "($long_kb - $short_kb) / 1024")"
printf '  ffmpeg  %5d frames: %8.1f MB  (plug-in / ffmpeg %.2f; goal <= 1.00)\n' "$frames" \
  "$(calc "$cli_short_kb / 1024")" "$(calc "$short_kb / $cli_short_kb")"
