#!/usr/bin/env bash
# What making the movie durable costs a render: the same render with the
# module's flushes (fdatasync every ten seconds of media and at the finish,
# fsync of the folder after each name) and with every flush made a no-op
# by eatmydata, turn about, median of REPEATS; then, from one traced render,
# what the finish's flushes take.
#   bench/durability_bench.sh [BUILD_DIR]   (FRAMES=750 SIZE=1280x720
#       CONTAINER=mov VIDEO=prores_ks AUDIO=pcm_s16le REPEATS=3
#       BENCH_DIR=/var/tmp/qel-durability-bench: on the disk, not in memory)
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
# shellcheck disable=SC2034  # read by bench_lib.sh
build="$(cd "${1:-$top/build}" && pwd)"
work="${BENCH_DIR:-/var/tmp/qel-durability-bench}"
frames="${FRAMES:-750}"
size="${SIZE:-1280x720}"
repeats="${REPEATS:-3}"
# shellcheck source=bench_lib.sh
. "$top/bench/bench_lib.sh"
"$top/scripts/install-deps.sh" bench eatmydata strace >/dev/null
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT

args=(render --frames "$frames" --size "$size" --set "klavformat=${CONTAINER:-mov}"
  --set "klavvideocodec=${VIDEO:-prores_ks}" --set "klavaudiocodec=${AUDIO:-pcm_s16le}" -o "$work/m.${CONTAINER:-mov}")
seconds() { "$@" | cut -d' ' -f1; }
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

machine_line
echo "render: $frames frames of $size at 25 fps, ${VIDEO:-prores_ks} + ${AUDIO:-pcm_s16le} in ${CONTAINER:-mov}, into $work ($(df -T "$work" | awk 'NR == 2 { print $2 }'))"
flushed=() unflushed=()
for ((i = 0; i < repeats; i++)); do
  flushed+=("$(seconds measure "$build/qelhost" "${args[@]}")")
  unflushed+=("$(seconds measure eatmydata "$build/qelhost" "${args[@]}")")
done
with=$(printf '%s\n' "${flushed[@]}" | median)
without=$(printf '%s\n' "${unflushed[@]}" | median)
bytes=$(stat -c %s "$work/m.${CONTAINER:-mov}")
printf 'with the flushes %.2f s, without %.2f s: %.3fx (goal <= 1.02x); the movie %.0f MB\n' \
  "$with" "$without" "$(calc "$with / $without")" "$(calc "$bytes / 1048576")"

# The finish: the unfinished file's last fdatasync and the folder's fsync.
strace -f -qq -T -e trace=fdatasync,fsync -o "$work/flushes.log" "$build/qelhost" "${args[@]}" >/dev/null 2>&1
awk -F'<' '/fdatasync|fsync/ { n++; t = $NF + 0; total += t; last[n] = t }
  END { printf "flushes in the render: %d, %.3f s in all; the finish: last fdatasync %.3f s, folder fsync %.3f s\n",
        n, total, last[n - 1], last[n] }' "$work/flushes.log"
