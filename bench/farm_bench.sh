#!/usr/bin/env bash
# Farm benchmark: what rendering a movie as segments costs. Measured in one
# run on a one-machine Slurm cluster (as root):
#   (1) qeljoin of the K segments against cp of the same files;
#   (2) a farm render in K tasks against one render of the same clip, and
#       what a segment adds: scheduling latency, encoder start, key-frame bytes;
#   (3) from those, the hours a MASTER-frame movie takes on 1, 8 and 32 nodes.
#   bench/farm_bench.sh [BUILD_DIR]   (FRAMES=250 TASKS=5 SIZE=1920x1080
#                                      CONTAINER=mov VIDEO=prores_ks AUDIO=pcm_s16le
#                                      REPEATS=5 MASTER=270000)
# The defaults are a master's; CONTAINER=mp4 VIDEO=libx264 AUDIO=aac a
# delivery's, whose join also codes the sound.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
# shellcheck disable=SC2034  # read by bench_lib.sh
build="$(cd "${1:-$top/build}" && pwd)"
work="${BENCH_DIR:-/tmp/qel-farm-bench}"
frames="${FRAMES:-250}"
tasks="${TASKS:-5}"
size="${SIZE:-1920x1080}"
container="${CONTAINER:-mov}"
video="${VIDEO:-prores_ks}"
audio="${AUDIO:-pcm_s16le}"
ext=$container
repeats="${REPEATS:-5}"
master="${MASTER:-270000}"
start_frames=10
# shellcheck source=bench_lib.sh
. "$top/bench/bench_lib.sh"
# shellcheck source=../tests/farm/slurm_cluster.sh
. "$top/tests/farm/slurm_cluster.sh"
[ "$(id -u)" -eq 0 ] || { echo "farm_bench: run as root (the cluster's daemons run as root)" >&2; exit 1; }
"$top/scripts/install-deps.sh" bench farm >/dev/null
rm -rf "$work"
mkdir -p "$work"
cd "$work"
trap 'slurm_cluster_stop "$work/cluster"' EXIT
slurm_cluster_start "$work/cluster"

args=(--fps 25 --size "$size" --set "klavformat=$container" --set "klavvideocodec=$video" --set "klavaudiocodec=$audio"
  --set klavkeyframes=24 --set klavfaststart=off)
seconds() { "$@" | cut -d' ' -f1; }
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
bytes() { stat -c %s "$@" | awk '{ s += $1 } END { print s }'; }

machine_line
echo "clip: $frames frames of $size at 25 fps, $video + $audio in $container, GOP 24; $tasks tasks"

# One render, and a short one for what every process pays once.
t_short=$(seconds measure "$build/qelhost" render --frames "$start_frames" "${args[@]}" -o "$work/short.$ext")
t_single=$(seconds measure "$build/qelhost" render --frames "$frames" "${args[@]}" -o "$work/single.$ext")
per_frame=$(calc "($t_single - $t_short) / ($frames - $start_frames)")
encoder_start=$(calc "$t_short - $start_frames * $per_frame")
[ "$(calc "$encoder_start < 0 ? 1 : 0")" = 0 ] || encoder_start=0

# Scheduling latency: a job that does nothing, from sbatch to its end.
latency=$(for _ in 1 2 3; do seconds measure sbatch --wait --wrap true; done | median)

# The farm render; its join keeps the segments for (1) and the bytes.
cat >"$work/join-keep" <<EOF
#!/bin/sh
exec $(printf %q "$build/qeljoin") --keep-segments "\$@"
EOF
chmod +x "$work/join-keep"
mkdir -p "$work/farm"
t_farm=$(seconds measure env PATH="$build:$PATH" "$top/farm/qelfarm" -o "$work/farm/m.$ext" --frames "$frames" \
  --tasks "$tasks" --join "$work/join-keep" --wait -- "${args[@]}")
# The segments' own container, whatever the movie's; the manifests beside them are not counted.
segs=()
for f in "$work"/farm/m.$ext.segments/*; do [[ $f == *.txt ]] || segs+=("$f"); done
[ "${#segs[@]}" -eq "$tasks" ] || { echo "farm_bench: $tasks segments expected, found ${#segs[@]}" >&2; exit 1; }
seg_bytes=$(bytes "${segs[@]}")
video_bytes() {
  local f
  for f in "$@"; do
    ffprobe -v error -select_streams v:0 -show_entries packet=size -of csv=p=0 "$f"
  done | awk '{ s += $1 } END { print s }'
}
# The sound of a segment may be kept uncoded for the join; only the video
# tells what a segment's fresh start costs.
seg_video=$(video_bytes "${segs[@]}")
single_video=$(video_bytes "$work/single.$ext")
single_bytes=$(bytes "$work/single.$ext")
joined_bytes=$(bytes "$work/farm/m.$ext")

# (1) The join against cp of its input, turn about, from the page cache.
mkdir -p "$work/join"
cp -r "$work/farm/m.$ext.segments" "$work/join/"
cat "$work/join/m.$ext.segments"/* >/dev/null
t_join=() t_cp=()
for ((i = 0; i < repeats; i++)); do
  rm -f "$work/join/m.$ext"
  t_join+=("$(seconds measure "$build/qeljoin" "$work/join/m.$ext" --frames "$frames" --keep-segments)")
  rm -rf "$work/cp"
  mkdir -p "$work/cp"
  t_cp+=("$(seconds measure cp "${segs[@]/#"$work/farm"/"$work/join"}" "$work/cp/")")
done
join=$(printf '%s\n' "${t_join[@]}" | median)
copy=$(printf '%s\n' "${t_cp[@]}" | median)
# The same of the first segment alone: what a join pays once, whatever its size.
mkdir -p "$work/one"
cp -r "$work/join/m.$ext.segments" "$work/one/"
find "$work/one/m.$ext.segments" -type f | sort | tail -n +3 | xargs rm -f
t_join1=() t_cp1=()
for ((i = 0; i < repeats; i++)); do
  rm -f "$work/one/m.$ext"
  t_join1+=("$(seconds measure "$build/qeljoin" "$work/one/m.$ext" --keep-segments)")
  rm -rf "$work/cp"
  mkdir -p "$work/cp"
  t_cp1+=("$(seconds measure cp "$work/one/m.$ext.segments/"*.mov "$work/cp/")")
done
join1=$(printf '%s\n' "${t_join1[@]}" | median)
copy1=$(printf '%s\n' "${t_cp1[@]}" | median)

echo
echo "(1) join of $tasks segments ($(calc "$seg_bytes / 1048576" | xargs printf '%.1f') MB), median of $repeats:"
printf '  qeljoin %.3f s, cp %.3f s: %.2fx cp (goal <= 1.2x)\n' "$join" "$copy" "$(calc "$join / $copy")"
printf '  the first segment alone: qeljoin %.3f s, cp %.3f s; beyond it, per byte: %.2fx cp\n' "$join1" "$copy1" \
  "$(calc "($join - $join1) / ($copy - $copy1 > 0 ? $copy - $copy1 : 1e-9)")"

echo
echo "(2) farm render in $tasks tasks against one render, on this one machine ($(nproc) cores):"
printf '  one render %.2f s, farm %.2f s: %.2fx\n' "$t_single" "$t_farm" "$(calc "$t_farm / $t_single")"
printf '  per frame %.2f ms; per segment: scheduling %.2f s (a job that does nothing),\n' \
  "$(calc "$per_frame * 1000")" "$latency"
printf '  encoder start %.2f s (a %d-frame render %.2f s, less its frames; 0 when within the noise),\n' \
  "$encoder_start" "$start_frames" "$t_short"
printf '  video bytes of a segment'"'"'s fresh start %.0f (segments %d - one render %d, over %d joins)\n' \
  "$(calc "($seg_video - $single_video) / ($tasks - 1)")" "$seg_video" "$single_video" "$((tasks - 1))"
printf '  joined movie %d bytes (%+.2f%% of one render)\n' "$joined_bytes" \
  "$(calc "100 * ($joined_bytes - $single_bytes) / $single_bytes")"

# (3) One segment a node, all started at once; the join reads every frame once.
join_per_frame=$(calc "$join / $frames")
echo
echo "(3) a $master-frame master ($(calc "$master / 25 / 3600" | xargs printf '%.1f') h at 25 fps) at $size, $video:"
echo "  assumed: every node is this machine, one render a node, one segment a node, all"
echo "  started together; node time = scheduling + encoder start + frames x per-frame time;"
echo "  then the join on one node at its measured time per frame; no shared-storage limits."
for nodes in 1 8 32; do
  render=$(calc "$latency + $encoder_start + $master / $nodes * $per_frame")
  total=$(calc "$render + $master * $join_per_frame")
  printf '  %2d nodes: %6.2f h  (render %.2f h, join %.3f h)\n' "$nodes" "$(calc "$total / 3600")" \
    "$(calc "$render / 3600")" "$(calc "$master * $join_per_frame / 3600")"
done
