// DNxHD (not DNxHR) codes a fixed set of bit rates for each picture size and
// depth; FFmpeg refuses any other, and a rate of 0 above all.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <cstdint>

// The profile set on a DNxHD encoder's context (DNxHD itself unless a DNxHR
// one was chosen).
int64_t dnxhd_profile(const AVCodecContext& context);

// Whether the encoder opens for an output set up like `context` (its size,
// depth, flags and profile) at this bit rate.
bool dnxhd_opens(const AVCodec& encoder, const AVCodecContext& like, int64_t bitRate);

// The rate an output set up in `context` takes when none was given: of those
// the encoder accepts for its size and depth, the one nearest what its frame
// rate calls for (185 Mbit/s at 1080p25, in proportion elsewhere). 0 when
// the encoder takes none for this size.
int64_t dnxhd_default_bit_rate(const AVCodec& encoder, const AVCodecContext& context);
