#!/usr/bin/env bash
# What a host crash leaves of a render in every container the panel offers:
# each container with the module's own encoders for it renders FRAMES frames
# of the demo clip through qelhost and is killed (SIGKILL) right after request
# CRASH; the file left is read with ffprobe. Prints a Markdown table.
#
#   bench/crash_table.sh [build folder]     FRAMES=250 CRASH=200 SIZE=320x240
set -uo pipefail
build=${1:-build}
qelhost=$build/qelhost
frames=${FRAMES:-250}
crash=${CRASH:-200}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Sizes and sound some containers insist on.
size_of() {
  case $1 in
    dv | gxf) echo 720x576 ;;
    roq) echo 256x256 ;;
    *) echo "${SIZE:-320x240}" ;;
  esac
}
# Sound, or the encoders, some containers insist on.
settings_of() {
  case $1 in
    mxf_opatom) echo "--audio-channels 0 --set klavvideocodec=mpeg2video" ;;  # one stream; DNxHD wants HD sizes
    roq) echo "--audio-rate 22050 --audio-channels 1" ;;
    gxf) echo "--audio-channels 1" ;;  # mono tracks only
  esac
}

# Video frames and seconds of sound that decode, as "frames seconds".
decoded() {
  ffprobe -v error -count_frames -show_entries stream=codec_type,nb_read_frames,sample_rate -of csv=p=0 "$1" |
    awk -F, '$1 == "video" { v = $2 } $1 == "audio" { a = $3 }
             END { printf "%d %s", v + 0, a == "" ? "-" : a }'
}

echo "| container | encoders | sent | given by the encoder | decode after the crash | lost beyond the encoder's hold |"
echo "|---|---|---|---|---|---|"
"$qelhost" render --set klavformat=none 2>&1 | sed -n 's/^ *[0-9][0-9]*  \([a-z0-9_]*\)  ".*/\1/p' |
  while read -r container; do
    dir=$work/$container
    mkdir -p "$dir"
    log=$dir/log
    # shellcheck disable=SC2046
    "$qelhost" render -v --frames "$frames" --size "$(size_of "$container")" $(settings_of "$container") \
      --set klavformat="$container" --crash-after "$crash" -o "$dir/take" >"$log" 2>&1 </dev/null
    encoders=$(sed -n 's/^  container .*; video \([^,;]*\).*; audio .*-> \(.*\)$/\1 + \2/p;
                       s/^  container .*; video \([^,;]*\).*; audio no sound$/\1/p' "$log" | head -n 1)
    given=$(grep -c "Write frame (size=" "$log")
    left=$(find "$dir" -maxdepth 1 -name 'take_Unfinished*' | head -n 1)
    if [ -z "$left" ]; then
      echo "| $container | ${encoders:-?} | $crash | - | the render did not start: $(grep -m1 'QelFFmpegWriter: .*' "$log" | sed 's/.*QelFFmpegWriter: //') | - |"
      continue
    fi
    read -r video audio < <(decoded "$left")
    echo "| $container | $encoders | $crash | $given | $video frames | $((given - video)) |"
  done
