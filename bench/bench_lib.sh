# shellcheck shell=bash disable=SC2154
# Shared by the render benchmarks; sourced, not run. The caller sets `top`,
# `build` and `work` (folders) before sourcing.

# Awk does the arithmetic: bash has no fractions.
calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }

# Runs a command with its output thrown away; prints "seconds peak_kb".
# The wall time comes from the shell's clock, which, unlike time(1)'s
# hundredths, still tells short runs apart.
measure() {
  local log="$work/time.log" start end
  start=$EPOCHREALTIME
  /usr/bin/time -f "%M" -o "$log" "$@" >/dev/null 2>"$work/stderr.log" || {
    echo "failed: $*" >&2
    tail -n 20 "$work/stderr.log" >&2
    return 1
  }
  end=$EPOCHREALTIME
  echo "$(calc "$end - $start") $(tail -n 1 "$log")"
}

# The path of a raw rgba64le file of FRAMES testsrc2 pictures of SIZE, made
# on first use and read once so every reader takes it from the page cache.
raw_frames() {  # SIZE FRAMES
  local raw="$work/frames_${1}_${2}.rgba64le"
  if [ ! -s "$raw" ]; then
    ffmpeg -v error -y -f lavfi -i "testsrc2=size=$1:rate=25" -frames:v "$2" -pix_fmt rgba64le -f rawvideo "$raw.part"
    mv "$raw.part" "$raw"
  fi
  cat "$raw" >/dev/null
  echo "$raw"
}

# The encoder's settings as x264 and x265 write them into the stream, less
# the thread counts, which depend on the machine and not on the options, and
# with the frame rate in lowest terms (25000/1000 is 25/1).
encoder_options() {
  strings "$1" | grep -m1 -o 'options: .*' | tr ' ' '\n' |
    grep -Ev '^(threads|lookahead_threads|frame-threads|numa-pools)=' |
    awk -F'[=/]' '/^fps=[0-9]+\/[0-9]+$/ { a = $2; b = $3; while (b) { t = a % b; a = b; b = t }
                   if (a) { print "fps=" $2 / a "/" $3 / a; next } } { print }' | tr '\n' ' '
}
x264_options() { encoder_options "$@"; }

# The plug-in's libx264 render as render_bench.sh measures it.
BENCH_GOP=24
plugin_x264() {  # RAW SIZE PRESET_INDEX OUTPUT FRAMES
  measure "$build/qelhost" render --raw "$1" --size "$2" --fps 25 --frames "$5" -o "$4" \
    --set klavformat=mp4 --set "klavvideocodec=libx264" --set "klavaudiocodec=-- NO AUDIO --" \
    --set klavquality="$3" --set klavkeyframes=$BENCH_GOP --set klavfaststart=off --set klavvidbitrate=0
}

# Growth of the plug-in's peak memory from a short to a long render.
print_growth() {  # SHORT_FRAMES SHORT_KB LONG_FRAMES LONG_KB
  printf '  plug-in %5d frames: %8.1f MB\n' "$1" "$(calc "$2 / 1024")"
  printf '  plug-in %5d frames: %8.1f MB  (growth %.1f MB; goal < 10 MB)\n' "$3" \
    "$(calc "$4 / 1024")" "$(calc "($4 - $2) / 1024")"
}

machine_line() {
  echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), load $(cut -d' ' -f1-3 /proc/loadavg)"
}
