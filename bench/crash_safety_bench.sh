#!/usr/bin/env bash
# What crash safety costs: the same long 1080p renders through this build's
# module and through the module of an earlier commit without it (BASE,
# built here in a scratch work tree), run in turn RUNS times each; prints
# the median times and their ratio. Then the finish of the last output (the
# final request: last fragment, trailer, faststart rewrite) against cp of
# the movie it leaves.
#
#   bench/crash_safety_bench.sh [build folder]    FRAMES=500 RUNS=3 BASE=cf3716e
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
frames=${FRAMES:-500}
runs=${RUNS:-3}
base=${BASE:-cf3716e}
work=$(mktemp -d)
trap 'git -C "$top" worktree remove --force "$work/base" 2>/dev/null; rm -rf "$work"' EXIT
# shellcheck source=bench/bench_lib.sh
source "$top/bench/bench_lib.sh"

echo "building the module of $base (without crash safety) ..."
git -C "$top" worktree add --detach "$work/base" "$base" >/dev/null 2>&1
cmake -S "$work/base" -B "$work/base/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$work/base/build" -j "$(nproc)" --target QelFFmpegWriter >/dev/null
old=$work/base/build/QelFFmpegWriter.so
new=$build/QelFFmpegWriter.so

# A render's wall time; the earlier module sets FFmpeg's log level, which
# qelhost reports with status 1 after a whole render.
render_time() {  # MODULE OUTPUT ARGS...
  local module=$1 output=$2 start status
  shift 2
  rm -f "$output"
  start=$EPOCHREALTIME
  status=0
  "$build/qelhost" render --module "$module" --size 1920x1080 --frames "$frames" -o "$output" "$@" \
    >"$work/render.log" 2>&1 || status=$?
  [ "$status" -le 1 ] || { tail -n 20 "$work/render.log" >&2; return 1; }
  calc "$EPOCHREALTIME - $start"
}

median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

machine_line
echo "$frames frames of the 1920x1080 demo clip with its stereo tone, $runs runs of each module in turn"
echo
printf '| render | without (s) | with (s) | with / without | finish (s) | cp of the movie (s) | finish / cp |\n'
printf '|---|---|---|---|---|---|---|\n'
job() {  # NAME EXTENSION ARGS...
  local name=$1 extension=$2 i
  shift 2
  local output="$work/take.$extension" without=() with=() finish copy
  for ((i = 0; i < runs; i++)); do
    without+=("$(render_time "$old" "$output" "$@")")
    with+=("$(render_time "$new" "$output" "$@")")
    finish=$(sed -n 's/.*the last output finished in \([0-9.]*\) s.*/\1/p' "$work/render.log")
  done
  local a b
  a=$(printf '%s\n' "${without[@]}" | median)
  b=$(printf '%s\n' "${with[@]}" | median)
  cat "$output" >/dev/null
  local start=$EPOCHREALTIME
  cp "$output" "$work/copy"
  copy=$(calc "$EPOCHREALTIME - $start")
  rm -f "$work/copy"
  printf '| %s | %.2f | %.2f | %.3f | %.2f | %.2f | %.2f |\n' "$name" "$a" "$b" "$(calc "$b / $a")" "$finish" \
    "$copy" "$(calc "$finish / $copy")"
}
job "ProRes 422 HQ + PCM, mov" mov --set klavformat=mov --set klavvideocodec=prores_ks --set klavvidprofile=HQ \
  --set klavaudiocodec=pcm_s16le --set klavfaststart=off
job "x264 + AAC, mp4, faststart on" mp4 --set klavformat=mp4 --set klavfaststart=on
job "x264 + AAC, mp4, faststart off" mp4 --set klavformat=mp4 --set klavfaststart=off
