// The container and encoder pairs the tests render, described once, and what
// FFmpeg's sound encoders add to the samples they are given. Three tables
// draw from here, each asking its own question:
// - the writer matrix (tests/writer/matrix_test.cpp): for the pairs a
//   delivery uses, does every picture come back as written: its time, key,
//   field order, levels and tags?
// - the audio sequences (tests/writer/audio_test.cpp): for the sound encoders
//   of those deliveries, does every sample sent come back, whatever the blocks
//   and however the writer ends?
// - the interoperability table (tests/interop/interop_test.cpp): does every
//   pair the panel offers give a file FFmpeg reads back whole, and where not,
//   is it FFmpeg's own limit?
#pragma once

#include "base/compat.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

#include <cstdint>

struct CodecPair {
    const char* container;  // the muxer's name
    const char* codec;      // the encoder's name
    const char* extension;
};

namespace pairs {
// Pictures.
inline constexpr CodecPair MOV_X264{"mov", "libx264", "mov"};
inline constexpr CodecPair MP4_X264{"mp4", "libx264", "mp4"};
inline constexpr CodecPair MKV_X264{"matroska", "libx264", "mkv"};
inline constexpr CodecPair AVI_MPEG4{"avi", "mpeg4", "avi"};
inline constexpr CodecPair MOV_PRORES_KS{"mov", "prores_ks", "mov"};
inline constexpr CodecPair MOV_PRORES_AW{"mov", "prores_aw", "mov"};
inline constexpr CodecPair MOV_MPEG2{"mov", "mpeg2video", "mov"};
inline constexpr CodecPair MOV_DNXHD{"mov", "dnxhd", "mov"};
inline constexpr CodecPair TS_MPEG2{"mpegts", "mpeg2video", "ts"};
inline constexpr CodecPair WEBM_VP9{"webm", "libvpx-vp9", "webm"};
inline constexpr CodecPair WEBM_VP8{"webm", "libvpx", "webm"};
inline constexpr CodecPair WEBM_AOM{"webm", "libaom-av1", "webm"};
inline constexpr CodecPair MXF_MPEG2{"mxf", "mpeg2video", "mxf"};
inline constexpr CodecPair MXF_DNXHD{"mxf", "dnxhd", "mxf"};
inline constexpr CodecPair MXF_PRORES_KS{"mxf", "prores_ks", "mxf"};
inline constexpr CodecPair MXF_PRORES_AW{"mxf", "prores_aw", "mxf"};
inline constexpr CodecPair MKV_FFV1{"matroska", "ffv1", "mkv"};
// Sound.
inline constexpr CodecPair MP4_AAC{"mp4", "aac", "mp4"};
inline constexpr CodecPair MOV_PCM{"mov", "pcm_s16le", "mov"};
inline constexpr CodecPair MOV_ALAC{"mov", "alac", "mov"};
inline constexpr CodecPair MKV_FLAC{"matroska", "flac", "mkv"};
inline constexpr CodecPair MKV_AC3{"matroska", "ac3", "mkv"};
inline constexpr CodecPair WEBM_OPUS{"webm", "libopus", "webm"};
}  // namespace pairs

// What a sound encoder puts around the samples it is given, as it declares
// when opened for that sound: priming before them and its frame, the most
// its last frame may be filled up by.
struct SoundFraming {
    int64_t priming = 0;
    int64_t frame = 0;  // 0: it takes blocks of any size
};

// A bit rate of 0 leaves the encoder's own.
inline SoundFraming sound_framing(const char* codec, int rate, int channels, int64_t bitRate = 0) {
    SoundFraming framing;
    const AVCodec* encoder = avcodec_find_encoder_by_name(codec);
    AVCodecContext* context = encoder ? avcodec_alloc_context3(encoder) : nullptr;
    if (!context) return framing;
    context->log_level_offset = AV_LOG_TRACE;  // a refusal here is no finding
    context->sample_rate = rate;
    context->time_base = AVRational{1, rate};
    for (AVSampleFormat format : ffcompat::sample_formats(encoder)) {
        context->sample_fmt = format;
        break;
    }
    context->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
    if (bitRate) context->bit_rate = bitRate;  // else the encoder's own default
    av_channel_layout_default(&context->ch_layout, channels);
    if (avcodec_open2(context, encoder, nullptr) >= 0) framing = {context->initial_padding, context->frame_size};
    avcodec_free_context(&context);
    return framing;
}
