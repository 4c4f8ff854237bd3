#!/usr/bin/env bash
# Codec table: for each encoder an editor renders with, the same 16-bit RGBA
# frames encoded (a) through the plug-in by `qelhost render`, (b) by the
# ffmpeg command line from the same frames with the same options, and (c) by
# the command line from frames already in the encoder's pixel format, so (c)
# is the encoder alone. Then the conversion alone against a memcpy, and the
# plug-in's memory growth over a long render. Ratios are of this run only.
#   bench/codec_table.sh [BUILD_DIR]
#   SIZES="1920x1080 3840x2160" FRAMES_1080=40 FRAMES_2160=16 ROWS="ffv1 x265 ..."
#   CONVERSION_FRAMES=20 GROWTH_FRAMES=100 LONG_FRAMES=2000 (0: no growth check)
#   INPUT_FRAMES=40 (0: no --input row) START_FRAMES=2 (the short runs timed for a/c per frame)
#   REPEATS=3 (runs of (a) and of (c), taking turns; the fastest of each counts)
#   PROFILE=1 (0: none) a perf profile of (a) for each row that misses a/c
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$top/build}" && pwd)"
work="${BENCH_DIR:-/tmp/qel-codec-bench}"
sizes="${SIZES:-1920x1080 3840x2160}"
all_rows="x264-ultrafast x264-fast x265 prores_ks-hq prores_ks-4444 prores_aw-hq prores_aw-4444 dnxhd vp9 svtav1 ffv1"
rows="${ROWS:-$all_rows}"
conversion_frames="${CONVERSION_FRAMES:-20}"
growth_frames="${GROWTH_FRAMES:-100}"
long_frames="${LONG_FRAMES:-2000}"
input_frames="${INPUT_FRAMES:-40}"
start_frames="${START_FRAMES:-2}"
repeats="${REPEATS:-3}"
profile="${PROFILE:-1}"
profiles=()
# shellcheck source=bench_lib.sh
. "$top/bench/bench_lib.sh"
gop=$BENCH_GOP
fps=25
mkdir -p "$work"
"$top/scripts/install-deps.sh" bench >/dev/null
started=$EPOCHREALTIME

# Enough frames that start-up does not decide the ratios: the first touches
# of the encoders' and converters' buffers cost as much as 4 2160p frames.
frames_for() {  # SIZE
  case "${1#*x}" in
    1080) echo "${FRAMES_1080:-40}" ;;
    2160) echo "${FRAMES_2160:-16}" ;;
    *) echo "${FRAMES:-10}" ;;
  esac
}

# The same pictures in an encoder's own pixel format, converted once here by
# the plug-in's own converter, for (c): the encoder alone codes the very
# pictures the plug-in's encoder codes.
pixel_frames() {  # RGBA_RAW SIZE PIX_FMT
  local out="${1%.rgba64le}.one-pass.$3"
  if [ ! -s "$out" ]; then
    "$build/convert_frames" "$1" "$2" "$3" "$out.part"
    mv "$out.part" "$out"
  fi
  cat "$out" >/dev/null
  echo "$out"
}

# CPU time of a command in seconds, as perf counts it.
cpu_seconds() {
  perf stat -x, -e task-clock -o "$work/cpu.stat" -- "$@" >/dev/null 2>&1 || { echo 0; return; }
  awk -F, '/task-clock/ { printf "%.2f", $1 / 1000 }' "$work/cpu.stat"
}

# Where (a)'s time goes, by library, beside the CPU time of (a) and (c): what
# the plug-in adds to the encoder's own work.
profile_row() {  # RAW PIX_RAW SIZE FRAMES BASE
  local a_cmd=("$build/qelhost" render --raw "$1" --size "$3" --fps $fps --frames "$4" -o "$5.profile.$ext" "${panel[@]}")
  local c_cmd=(ffmpeg -v error -y -f rawvideo -pix_fmt "$pix" -s "$3" -r $fps -i "$2" -frames:v "$4"
    -vf "$frame_colour" "${options[@]}" "$5.profile-alone.$ext")
  profiles+=("$(printf '%-18s %s: CPU (a) %s s, (c) %s s\n    (a): %s\n    (c): %s' "$label" "$3" \
    "$(cpu_seconds "${a_cmd[@]}")" "$(cpu_seconds "${c_cmd[@]}")" \
    "$(library_shares "${a_cmd[@]}")" "$(library_shares "${c_cmd[@]}")")")
}

# A command's time by library, the six largest shares, as perf samples it.
library_shares() {
  perf record -q -F 499 -o "$work/perf.data" -- "$@" >/dev/null 2>&1 || return 0
  perf report -i "$work/perf.data" --sort dso --stdio 2>/dev/null |
    awk '/%/ && !/^#/ && n < 6 { sub(/\.so.*/, "", $2); printf "%s%s %s", (n++ ? ", " : ""), $2, $1 }'
}

# Of two "seconds peak_kb" results, the faster.
faster() { awk -v a="$1" -v b="$2" 'BEGIN { split(a, x, " "); split(b, y, " "); print (y[1] < x[1] ? b : a) }'; }

has_encoder() { ffmpeg -hide_banner -encoders 2>/dev/null | awk '{ print $2 }' | grep -qxF "$1"; }

# The plug-in's fixed H.264 tuning, as render_bench.sh gives it.
x264_tuning=(-coder 1 -flags +loop -me_range 16 -subq 7 -sc_threshold 40 -i_qfactor 0.71 -b_strategy 1
  -qcomp 0.6 -qmin 10 -qmax 51 -qdiff 4 -bf 3 -refs 3 -trellis 1)

# Sets, for ROW at SIZE: label, encoder, muxer, ext, pix, check (x264, x265
# or none), panel (the plug-in's --set pairs) and options (the command
# line's encoder options that stand for the same settings).
define_row() {  # ROW SIZE
  panel=(--set klavvidbitrate=0)
  options=()
  check=none
  muxer=mov
  ext=mov
  case "$1" in
    x264-ultrafast | x264-fast)
      local preset=${1#x264-} index=0
      [ "$preset" = fast ] && index=2
      label="libx264 $preset"; encoder=libx264; pix=yuv420p; check=x264
      panel+=(--set "klavquality=$index" --set klavvidprofile=High)
      options=(-preset "$preset" -tune film -profile:v high "${x264_tuning[@]}") ;;
    x265)
      label="libx265"; encoder=libx265; pix=yuv420p; check=x265 ;;
    prores_ks-hq | prores_aw-hq)
      label="${1%-hq} HQ"; encoder=${1%-hq}; pix=yuv422p10le
      panel+=(--set klavvidprofile=HQ); options=(-profile:v 3) ;;
    prores_ks-4444 | prores_aw-4444)
      label="${1%-4444} 4444"; encoder=${1%-4444}; pix=yuva444p10le
      panel+=(--set klavvidprofile=4444); options=(-profile:v 4) ;;
    dnxhd)
      encoder=dnxhd; pix=yuv422p10le
      if [ "$2" = 1920x1080 ]; then
        # DNxHD has fixed rates per size, rate and depth: 185 Mbit/s is 1080p25's 10-bit one.
        label="dnxhd DNxHD 185x"
        panel=(--set klavvidprofile=DNXHD --set klavvidbitrate=23125 --set klavbitratemode=VBR)
        options=(-profile:v dnxhd -b:v 185M)
      else
        label="dnxhd DNxHR HQX"
        panel+=(--set "klavvidprofile=DNXHR HQX"); options=(-profile:v dnxhr_hqx)
      fi ;;
    vp9)
      label="libvpx-vp9"; encoder=libvpx-vp9; pix=yuv420p; muxer=webm; ext=webm
      panel+=(--set "klavvidprofile=Profile 0"); options=(-profile:v 0) ;;
    svtav1)
      label="libsvtav1"; encoder=libsvtav1; pix=yuv420p; muxer=matroska; ext=mkv ;;
    ffv1)
      label="ffv1"; encoder=ffv1; pix=yuv444p10le; muxer=matroska; ext=mkv ;;
    *) echo "unknown row $1 (rows: $all_rows)" >&2; exit 2 ;;
  esac
  # Faststart is a QuickTime choice; the panel disables it for the others.
  [ "$muxer" = mov ] && panel+=(--set klavfaststart=off)
  panel=(--set "klavformat=$muxer" --set "klavvideocodec=$encoder" --set "klavaudiocodec=-- NO AUDIO --"
    --set "klavkeyframes=$gop" "${panel[@]}" --set "klavpixelfmt=$pix")
  # What the plug-in sets on every encoder: GOP, experimental features
  # allowed, BT.709 limited-range colour (threads=auto is ffmpeg's default too).
  options=(-c:v "$encoder" "${options[@]}" -g "$gop" -keyint_min 1 -strict experimental
    -color_range tv -colorspace bt709 -color_primaries bt709 -color_trc bt709 -pix_fmt "$pix")
}

# Some encoders (prores_ks) write the colour each frame carries, not the
# context's; the plug-in's frames carry it, so the command line's must too.
frame_colour=setparams=range=tv:colorspace=bt709:color_primaries=bt709:color_trc=bt709

run_plugin() {  # RAW SIZE FRAMES OUTPUT
  measure "$build/qelhost" render --raw "$1" --size "$2" --fps $fps --frames "$3" -o "$4" "${panel[@]}"
}

run_cli() {  # RAW SIZE FRAMES OUTPUT
  measure ffmpeg -v error -y -f rawvideo -pix_fmt rgba64le -s "$2" -r $fps -i "$1" -frames:v "$3" \
    -sws_flags fast_bilinear -vf "scale=out_color_matrix=bt709:out_range=tv,$frame_colour" "${options[@]}" "$4"
}

run_encoder_alone() {  # PIX_RAW SIZE FRAMES OUTPUT
  measure ffmpeg -v error -y -f rawvideo -pix_fmt "$pix" -s "$2" -r $fps -i "$1" -frames:v "$3" \
    -vf "$frame_colour" "${options[@]}" "$4"
}

probe_fields() {
  ffprobe -v error -select_streams v:0 -show_entries \
    stream=codec_name,profile,pix_fmt,width,height,level,color_range,color_space,color_transfer,color_primaries,field_order \
    -of default=nw=1 "$1"
}

video_bytes() {
  ffprobe -v error -select_streams v:0 -show_entries packet=size -of csv=p=0 "$1" | awk '{ s += $1 } END { print s + 0 }'
}

# "same" when the plug-in's file (A) and the command line's (B) say they
# were made with the same settings, and A has about as many bytes as C (the
# encoder alone, from the same pictures as A; B's libswscale pictures differ:
# see bench/README.md); otherwise what differs.
compare_files() {  # A B [C]
  local differs=() field ratio
  if [ "$check" != none ]; then
    local a b
    a=$(encoder_options "$1")
    b=$(encoder_options "$2")
    [ -n "$a" ] && [ "$a" = "$b" ] || differs+=("$check settings")
  fi
  while read -r field; do
    differs+=("${field#[<>] }")
  done < <(diff <(probe_fields "$1") <(probe_fields "$2") | grep '^<' || true)
  # The same encode makes about as many bytes: a bit rate of another class
  # means other rate control.
  ratio=$(calc "$(video_bytes "$1") / ($(video_bytes "${3:-$2}") + 1)")
  awk "BEGIN { exit !($ratio < 0.9 || $ratio > 1.1) }" && differs+=("bytes x$(printf '%.2f' "$ratio")")
  if [ ${#differs[@]} -eq 0 ]; then echo same; else (IFS=,; echo "differs: ${differs[*]}"); fi
}

machine_line
echo "ffmpeg: $(ffmpeg -version | head -n 1 | cut -d' ' -f3); GOP $gop, $fps fps, no audio, faststart off"
for size in $sizes; do
  frames=$(frames_for "$size")
  raw=$(raw_frames "$size" "$frames")
  echo
  echo "$size, $frames frames of rgba64le ($(du -h "$raw" | cut -f1))"
  printf '%-18s %-12s %7s %7s %7s %6s %6s %6s %7s %7s  %-8s %s\n' row pixels "(a)fps" "(b)fps" "(c)fps" "a/b" "a/c" \
    "a/c/f" "(a)MB" "(b)MB" options goals
  for row in $rows; do
    define_row "$row" "$size"
    if ! has_encoder "$encoder"; then
      printf '%-18s not in this FFmpeg\n' "$label"
      continue
    fi
    pixraw=$(pixel_frames "$raw" "$size" "$pix")
    base="$work/${row}_${size}"
    # A run that fails shows as such; the other rows still run.
    b=$(run_cli "$raw" "$size" "$frames" "$base.cli.$ext") || { printf '%-18s (b) failed\n' "$label"; continue; }
    # (a) and (c) take turns, so a burst of other work on a shared machine
    # slows one run of each rather than the ratio; the fastest counts. Per
    # frame: the same runs cut to START_FRAMES take away what both pay once
    # (start-up, first touches of fresh memory).
    a="" c="" a0="" c0=""
    for ((run = 0; run < repeats; run++)); do
      t=$(run_plugin "$raw" "$size" "$frames" "$base.plugin.$ext") || { printf '%-18s (a) failed\n' "$label"; continue 2; }
      a=$(faster "${a:-$t}" "$t")
      t=$(run_encoder_alone "$pixraw" "$size" "$frames" "$base.alone.$ext") ||
        { printf '%-18s (c) failed\n' "$label"; continue 2; }
      c=$(faster "${c:-$t}" "$t")
      t=$(run_plugin "$raw" "$size" "$start_frames" "$base.plugin0.$ext") || t="0 0"
      a0=$(faster "${a0:-$t}" "$t")
      t=$(run_encoder_alone "$pixraw" "$size" "$start_frames" "$base.alone0.$ext") || t="0 0"
      c0=$(faster "${c0:-$t}" "$t")
    done
    read -r a_s a_kb <<<"$a"
    read -r b_s b_kb <<<"$b"
    read -r c_s _ <<<"$c"
    per_frame=$(calc "(${a_s} - ${a0% *}) / (${c_s} - ${c0% *})")
    same=$(compare_files "$base.plugin.$ext" "$base.cli.$ext" "$base.alone.$ext")
    missed=()
    awk "BEGIN { exit !($a_s / $b_s > 0.90) }" && missed+=("a/b")
    awk "BEGIN { exit !($per_frame > 1.10) }" && missed+=("a/c")
    [ "$a_kb" -gt "$b_kb" ] && missed+=("memory")
    if [ "$profile" != 0 ] && [[ " ${missed[*]} " == *" a/c "* ]]; then profile_row "$raw" "$pixraw" "$size" "$frames" "$base"; fi
    goals=ok
    [ ${#missed[@]} -gt 0 ] && goals="missed: ${missed[*]}"
    printf '%-18s %-12s %7.2f %7.2f %7.2f %6.2f %6.2f %6.2f %7.1f %7.1f  %-8s %s\n' "$label" "$pix" \
      "$(calc "$frames / $a_s")" "$(calc "$frames / $b_s")" "$(calc "$frames / $c_s")" \
      "$(calc "$a_s / $b_s")" "$(calc "$a_s / $c_s")" "$per_frame" "$(calc "$a_kb / 1024")" "$(calc "$b_kb / 1024")" \
      "$same" "$goals"
  done
done
echo "(a) plug-in, (b) ffmpeg from the same rgba64le frames, (c) ffmpeg from frames in the encoder's pixel format;"
echo "a/b and a/c are ratios of times, a/c/f of the time per frame after the first $start_frames;"
echo "(a) and (c) the fastest of $repeats runs each, taking turns;"
echo "MB peak resident memory; goals a/b <= 0.90, a/c/f <= 1.10, (a)MB <= (b)MB"
if [ ${#profiles[@]} -gt 0 ]; then
  echo
  echo "profiles of the rows that miss a/c (perf, one more run each):"
  printf '  %s\n' "${profiles[@]}"
fi

# The stand-in host's media path: a 1080p ffv1 file of 16-bit planar RGB (an
# editor's intermediate), encoded by (a) `qelhost render --input` and (b) the
# command line from the same file, both libx264 fast as in the table.
if [ "$input_frames" -gt 0 ]; then
  define_row x264-fast 1920x1080
  input="$work/input_1920x1080_${input_frames}.mkv"
  if [ ! -s "$input" ]; then
    ffmpeg -v error -y -f rawvideo -pix_fmt rgba64le -s 1920x1080 -r $fps -i "$(raw_frames 1920x1080 "$input_frames")" \
      -c:v ffv1 -pix_fmt gbrp16le "$input.part.mkv"
    mv "$input.part.mkv" "$input"
  fi
  cat "$input" >/dev/null
  a=$(measure "$build/qelhost" render --input "$input" --audio-channels 0 -o "$work/input.plugin.mov" "${panel[@]}")
  b=$(measure ffmpeg -v error -y -i "$input" -sws_flags fast_bilinear \
    -vf "scale=out_color_matrix=bt709:out_range=tv,$frame_colour" "${options[@]}" "$work/input.cli.mov")
  read -r a_s a_kb <<<"$a"
  read -r b_s b_kb <<<"$b"
  echo
  echo "--input: $input_frames frames of a 1080p ffv1 gbrp16le file to libx264 fast (goal a/b <= 0.90):"
  printf '  (a) %.2f fps, %.1f MB  (b) %.2f fps, %.1f MB  a/b %.2f  options %s\n' "$(calc "$input_frames / $a_s")" \
    "$(calc "$a_kb / 1024")" "$(calc "$input_frames / $b_s")" "$(calc "$b_kb / 1024")" "$(calc "$a_s / $b_s")" \
    "$(compare_files "$work/input.plugin.mov" "$work/input.cli.mov")"
fi

echo
echo "conversion alone, $conversion_frames frames, the writer's route against a memcpy of the host frame (goal <= 3x):"
for size in $sizes; do
  "$build/conversion_bench" "$conversion_frames" "$size" yuv420p yuv422p10le yuv444p10le yuva444p10le |
    awk -v size="$size" '
      /^memcpy/ { printf "  %-10s %-34s %8s ms/frame\n", size, "memcpy", $(NF-1) }
      /\(the writer\)/ { sub(/^-> /, ""); printf "  %-10s %s\n", size, $0 }'
done

if [ "$long_frames" -gt 0 ]; then
  raw=$(raw_frames 1920x1080 "$(frames_for 1920x1080)")
  read -r _ short_kb < <(plugin_x264 "$raw" 1920x1080 0 "$work/growth_short.mp4" "$growth_frames")
  read -r _ long_kb < <(plugin_x264 "$raw" 1920x1080 0 "$work/growth_long.mp4" "$long_frames")
  echo
  echo "peak resident memory, libx264 ultrafast 1080p:"
  print_growth "$growth_frames" "$short_kb" "$long_frames" "$long_kb"
fi
echo
printf 'whole table: %.0f s\n' "$(calc "$EPOCHREALTIME - $started")"
