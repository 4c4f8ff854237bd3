#!/usr/bin/env bash
# Reads the demo's file back with FFmpeg's own tools: 250 frames of 1920x1080
# H.264 High, AAC stereo as long as the pictures, the index in front of the
# media, and a decode of every packet without one error.
set -euo pipefail
file=${1:-out/demo.mp4}

fail() { echo "demo check: $*" >&2; exit 1; }
# FFmpeg 8 and later also print a stream group's streams (mov's timecode
# group holds the video): the first value given is the stream's.
first() { awk 'NF && !done { print; done = 1 }'; }
field() { ffprobe -v error -select_streams "$1" -show_entries "stream=$2" -of default=nw=1:nk=1 "$file" | first; }

[ "$(field v:0 codec_name)" = h264 ] || fail "video is $(field v:0 codec_name), not h264"
[ "$(field v:0 profile)" = High ] || fail "profile is $(field v:0 profile), not High"
[ "$(field v:0 width)x$(field v:0 height)" = 1920x1080 ] || fail "size is $(field v:0 width)x$(field v:0 height)"
[ "$(field a:0 codec_name)" = aac ] || fail "audio is $(field a:0 codec_name), not aac"
[ "$(field a:0 channels)" = 2 ] || fail "audio has $(field a:0 channels) channels"
# The sound lasts as long as the pictures, to within one frame.
video_s=$(field v:0 duration) audio_s=$(field a:0 duration)
awk -v v="$video_s" -v a="$audio_s" 'BEGIN { d = v - a; exit !(d < 0.04 && d > -0.04) }' ||
  fail "sound lasts $audio_s s, pictures $video_s s"
frames=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames \
  -of default=nw=1:nk=1 "$file" | first)
[ "$frames" = 250 ] || fail "$frames frames decoded, not 250"
errors=$(ffmpeg -nostdin -v error -i "$file" -f null - 2>&1)
[ -z "$errors" ] || fail "decoding reported: $errors"
# Top-level atoms in order: moov must come before mdat.
order=$(ffprobe -v trace "$file" 2>&1 | sed -n "s/.*type:'\(moov\|mdat\)'.*/\1/p" | awk 'NR <= 2' | tr '\n' ' ')
[ "$order" = "moov mdat " ] || fail "atoms in the order '$order', the index is not in front"
echo "demo check: $file holds $frames frames of 1920x1080 H.264 High, AAC stereo of $audio_s s, faststart; decoded without error"
