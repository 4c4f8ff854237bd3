#!/usr/bin/env bash
# qelfarm on a real one-machine Slurm cluster: each row renders a 30 s clip as
# segments on the farm and holds the joined movie against one plain render of
# the same clip.
#
#   tests/farm/farm_test.sh BUILD_DIR      (as root)
set -euo pipefail

me=farm_test
build=$(cd "${1:?usage: farm_test.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)

die() {
  echo "$me: $*" >&2
  exit 1
}
[ "$(id -u)" -eq 0 ] || die "must run as root: the cluster's daemons run as root."
for tool in slurmctld slurmd munged sbatch; do
  command -v "$tool" >/dev/null ||
    die "$tool is missing; 'scripts/install-deps.sh farm' (as root) installs the Slurm daemons and munge this test needs."
done

daemons='^(slurmctld|slurmd|munged|slurmstepd)$'
before=$(pgrep -x -d ' ' "$daemons" 2>/dev/null || true)
work=$(mktemp -d /tmp/qel-farm-test.XXXXXX)
# shellcheck source=tests/farm/slurm_cluster.sh
. "$here/slurm_cluster.sh"
finish() {
  local rc=$? pid left=
  trap - EXIT
  slurm_cluster_stop "$work/cluster" || rc=1
  for pid in $(pgrep -x "$daemons" -d ' ' 2>/dev/null || true); do
    [[ " $before " == *" $pid "* ]] || left="$left $(ps -o pid=,comm= -p "$pid" | xargs)"
  done
  if [ -n "$left" ]; then
    echo "$me: left running by the test:$left" >&2
    rc=1
  fi
  if [ "$rc" -eq 0 ]; then rm -rf "$work"; else echo "$me: FAILED; the files are in $work" >&2; fi
  exit "$rc"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

slurm_cluster_start "$work/cluster" || die "the cluster did not start."

# The first attempt of one range dies by SIGKILL partway through, as a host
# that crashes on a node does; its retry runs the plain host.
cat >"$work/crashing-host" <<EOF
#!/bin/bash
case " \$* " in
  *" --range \$(cat $(printf %q "$work")/crash-range) "*)
    mkdir $(printf %q "$work")/crashed 2>/dev/null && exec $(printf %q "$build/qelhost") "\$@" --crash-after 60 ;;
esac
exec $(printf %q "$build/qelhost") "\$@"
EOF
chmod +x "$work/crashing-host"

frames=750
clip=(--fps 25 --size 320x240 --timecode 10:00:00:00)
failures=0
check() {  # WHAT COMMAND...: counts a failure rather than stopping the rows
  local what=$1
  shift
  if ! "$@"; then
    echo "  FAIL: $what" >&2
    failures=$((failures + 1))
  fi
}
same() { [ "$1" = "$2" ] || { echo "    joined: '$1'  single: '$2'" >&2; return 1; }; }
# From FFmpeg 8 on a timecode track's group lists the video stream again.
video_frames() {
  ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$1" | grep -m1 .
}
timecode() { ffprobe -v error -show_entries stream_tags=timecode -of csv=p=0 "$1" | grep -m1 .; }
decode_errors() { ffmpeg -nostdin -v error -i "$1" -f null - 2>&1; }
video_md5() { ffmpeg -nostdin -v error -i "$1" -map 0:v:0 -f framemd5 - | grep -v '^#'; }
audio_md5() { ffmpeg -nostdin -v error -i "$1" -map 0:a:0 -f md5 -; }
audio_bytes() { ffmpeg -nostdin -v error -i "$1" -map 0:a:0 -f s16le - | wc -c; }

# name          tasks  ext  video      audio      decoded alike  the range whose host is killed
rows=(
  "prores-4       4    mov  prores_ks  pcm_s16le  exact          -"
  "x264-aac-7     7    mp4  libx264    aac        length         -"
  "killed-task-4  4    mov  prores_ks  pcm_s16le  exact          188-375"
)
start=$SECONDS
for row in "${rows[@]}"; do
  read -r name tasks ext video audio alike killed <<<"$row"
  echo "== $name"
  dir=$work/$name
  mkdir -p "$dir"
  args=("${clip[@]}" --set "klavformat=$ext" --set "klavvideocodec=$video" --set "klavaudiocodec=$audio")
  # A space and a % in the name: Slurm reads % in output paths.
  out="$dir/farm %a $name.$ext"
  single=$dir/single.$ext
  host=$build/qelhost
  if [ "$killed" != - ]; then
    echo "$killed" >"$work/crash-range"
    rm -rf "$work/crashed"
    host=$work/crashing-host
  fi
  "$build/qelhost" render --frames "$frames" "${args[@]}" -o "$single" >"$dir/single.log" 2>&1 ||
    { cat "$dir/single.log" >&2; die "$name: the single render failed."; }
  # The farm's own wait follows the job states; the bound only gives up on
  # a cluster that has stopped scheduling.
  if ! PATH=$build:$PATH timeout 300 "$top/farm/qelfarm" -o "$out" --frames "$frames" --tasks "$tasks" \
      --host "$host" --join "$build/qeljoin" --wait -- "${args[@]}" >"$dir/farm.out" 2>&1; then
    cat "$dir/farm.out" >&2
    check "$name: the farm render finished" false
    continue
  fi
  log=$out.farm.log
  check "$name: every segment done" same "$(grep -c 'segment [0-9]*-[0-9]* done (' "$log")" "$tasks"
  check "$name: the movie joined" grep -q "movie $out joined: $frames frames from $tasks segments" "$log"
  if [ "$killed" != - ]; then
    check "$name: the killed task requeued" grep -q "segment $killed failed (signal KILL), requeued" "$log"
    check "$name: its retry made the segment" grep -q "segment $killed done (.*attempt 2)" "$log"
  fi
  check "$name: segments and farm state removed" same "$(ls -d "$out.segments" "$out.farm" 2>/dev/null)" ""
  check "$name: video frames" same "$(video_frames "$out")" "$(video_frames "$single")"
  check "$name: $frames frames" same "$(video_frames "$out")" "$frames"
  check "$name: no decode errors" same "$(decode_errors "$out")" ""
  check "$name: first frame's timecode" same "$(timecode "$out")" "$(timecode "$single")"
  check "$name: timecode of the clip" same "$(timecode "$out")" "10:00:00:00"
  check "$name: sound length" same "$(audio_bytes "$out")" "$(audio_bytes "$single")"
  if [ "$alike" = exact ]; then
    check "$name: decoded pictures" same "$(video_md5 "$out" | md5sum)" "$(video_md5 "$single" | md5sum)"
    check "$name: decoded sound" same "$(audio_md5 "$out")" "$(audio_md5 "$single")"
  else
    # An encoder with look-ahead codes each segment's start afresh, so only
    # the sound's length can match the single render: 30 s of 48 kHz stereo
    # and the encoder's priming, the same either way.
    check "$name: at least 30 s of sound" test "$(audio_bytes "$out")" -ge $((30 * 48000 * 4))
  fi
done
echo "$me: ${#rows[@]} rows in $((SECONDS - start)) s, $failures failed checks"
[ "$failures" -eq 0 ]
