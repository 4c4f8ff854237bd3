#!/usr/bin/env bash
# Sound of a farm render at its joins: what each way of keeping a segment's
# AAC gives around a join, against the same samples elsewhere.
#
#   bench/segment_sound.sh [SEGMENTS]
#
# (a) coded once: the whole sound through the encoder in one go, as qeljoin
#     codes the segments' kept samples (the join tests hold its sound equal to
#     a single render's);
# (b) coded per segment, priming and padding trimmed: each segment's samples
#     through their own encoder, decoded, cut back to the segment's length
#     and laid end to end;
# (c) as (b) untrimmed: each piece as its decoder gives it.
# Each segment is 50 frames at 25 fps (96000 samples at 48 kHz, no whole
# number of AAC's 1024-sample frames). Printed: the samples each gives for
# the source's, and the largest sample error in 10 ms around each join and
# anywhere else.
set -euo pipefail
segments=${1:-4}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
per=96000
total=$((segments * per))
aac() { ffmpeg -v error -y -f f32le -ar 48000 -ac 2 -i "$1" -c:a aac -b:a 192k "$2" && ffmpeg -v error -y -i "$2" -f f32le "$3"; }
ffmpeg -v error -y -f lavfi -i "sine=f=440:sample_rate=48000,volume=0.5" -ac 2 -af "atrim=end_sample=$total" -f f32le src.f32
aac src.f32 whole.m4a whole.f32
: >trimmed.f32
: >untrimmed.f32
for ((i = 0; i < segments; i++)); do
  dd if=src.f32 of=piece.f32 bs=8 skip=$((i * per)) count=$per status=none
  aac piece.f32 piece.m4a piece.out.f32
  head -c $((per * 8)) piece.out.f32 >>trimmed.f32
  cat piece.out.f32 >>untrimmed.f32
done
python3 - "$segments" "$per" <<'PY'
import array, sys
segments, per = int(sys.argv[1]), int(sys.argv[2])
def read(name):
    a = array.array('f')
    with open(name, 'rb') as f:
        a.frombytes(f.read())
    return a
src = read('src.f32')
def worst(x, lo, hi):
    hi = min(hi, len(x) // 2, len(src) // 2)
    return max(abs(x[i] - src[i]) for i in range(2 * max(lo, 0), 2 * hi))
print(f"{segments} segments of {per} samples; error in 10 ms (480 samples) around each join, and anywhere else")
for name, label in (('whole', '(a) coded once'), ('trimmed', '(b) per segment, trimmed'), ('untrimmed', '(c) per segment, untrimmed')):
    x = read(name + '.f32')
    joins = [worst(x, j * per - 480, j * per + 480) for j in range(1, segments)]
    rest = max(worst(x, j * per + 480, (j + 1) * per - 480) for j in range(segments))
    print(f"{label:28} samples {len(x) // 2:>8} of {len(src) // 2}  joins " +
          " ".join(f"{v:.4f}" for v in joins) + f"  elsewhere {rest:.4f}  ratio {max(joins) / rest:.1f}")
PY
