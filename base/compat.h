// Every difference between the FFmpeg generations the module builds against
// (5.1, 7.1, 9.0) lives here, so the writer and the catalogue read the same
// on all of them. Each function uses the generation's current API and falls
// back to the older spelling only where that API is missing.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavformat/version.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

#include <cstring>

// AV_PROFILE_* replaced FF_PROFILE_* in libavcodec 60 (FFmpeg 6.1); 9.0 has
// only the new names.
#ifndef AV_PROFILE_UNKNOWN
#define AV_PROFILE_UNKNOWN FF_PROFILE_UNKNOWN
#define AV_PROFILE_AAC_LOW FF_PROFILE_AAC_LOW
#define AV_PROFILE_AAC_SSR FF_PROFILE_AAC_SSR
#define AV_PROFILE_AAC_LTP FF_PROFILE_AAC_LTP
#define AV_PROFILE_AAC_HE FF_PROFILE_AAC_HE
#define AV_PROFILE_AAC_HE_V2 FF_PROFILE_AAC_HE_V2
#define AV_PROFILE_AAC_LD FF_PROFILE_AAC_LD
#define AV_PROFILE_AAC_ELD FF_PROFILE_AAC_ELD
#define AV_PROFILE_H264_BASELINE FF_PROFILE_H264_BASELINE
#define AV_PROFILE_H264_CONSTRAINED FF_PROFILE_H264_CONSTRAINED
#define AV_PROFILE_H264_MAIN FF_PROFILE_H264_MAIN
#define AV_PROFILE_H264_HIGH FF_PROFILE_H264_HIGH
#define AV_PROFILE_H264_HIGH_10 FF_PROFILE_H264_HIGH_10
#define AV_PROFILE_H264_HIGH_422 FF_PROFILE_H264_HIGH_422
#define AV_PROFILE_H264_HIGH_444_PREDICTIVE FF_PROFILE_H264_HIGH_444_PREDICTIVE
#define AV_PROFILE_PRORES_PROXY FF_PROFILE_PRORES_PROXY
#define AV_PROFILE_PRORES_LT FF_PROFILE_PRORES_LT
#define AV_PROFILE_PRORES_STANDARD FF_PROFILE_PRORES_STANDARD
#define AV_PROFILE_PRORES_HQ FF_PROFILE_PRORES_HQ
#define AV_PROFILE_PRORES_4444 FF_PROFILE_PRORES_4444
#define AV_PROFILE_PRORES_XQ FF_PROFILE_PRORES_XQ
#define AV_PROFILE_DNXHD FF_PROFILE_DNXHD
#define AV_PROFILE_DNXHR_LB FF_PROFILE_DNXHR_LB
#define AV_PROFILE_DNXHR_SQ FF_PROFILE_DNXHR_SQ
#define AV_PROFILE_DNXHR_HQ FF_PROFILE_DNXHR_HQ
#define AV_PROFILE_DNXHR_HQX FF_PROFILE_DNXHR_HQX
#define AV_PROFILE_DNXHR_444 FF_PROFILE_DNXHR_444
#define AV_PROFILE_VP9_0 FF_PROFILE_VP9_0
#define AV_PROFILE_VP9_1 FF_PROFILE_VP9_1
#define AV_PROFILE_VP9_2 FF_PROFILE_VP9_2
#define AV_PROFILE_VP9_3 FF_PROFILE_VP9_3
#define AV_PROFILE_AV1_MAIN FF_PROFILE_AV1_MAIN
#define AV_PROFILE_AV1_HIGH FF_PROFILE_AV1_HIGH
#define AV_PROFILE_AV1_PROFESSIONAL FF_PROFILE_AV1_PROFESSIONAL
#endif

// avcodec_get_supported_config() replaced AVCodec's lists in libavcodec
// 61.13 (FFmpeg 7.1); the frame's field and key flags came with libavutil 58.7 (6.1).
#define QEL_HAS_SUPPORTED_CONFIG (LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(61, 13, 100))
#define QEL_HAS_FRAME_FIELD_FLAGS (LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(58, 7, 100))
// A stream's side data moved into its parameters in libavcodec 60.29 (FFmpeg
// 6.1); the stream's own list is gone from 7.0.
#define QEL_HAS_CODED_SIDE_DATA (LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 29, 100))

namespace ffcompat {

// The buffer an AVIOContext hands its write callback: const from libavformat
// 61 (FFmpeg 7.0).
#if LIBAVFORMAT_VERSION_MAJOR >= 61
using WrittenBytes = const uint8_t*;
#else
using WrittenBytes = uint8_t*;
#endif

// What an encoder declares it takes: a run of values, or no run at all when
// it takes any value ("a null list means any", on every generation).
template <typename T>
struct Supported {
    const T* items = nullptr;
    int count = 0;

    bool takes_any() const { return items == nullptr; }
    const T* begin() const { return items; }
    const T* end() const { return items ? items + count : nullptr; }
};

namespace detail {
template <typename T, typename IsEnd>
Supported<T> terminated(const T* items, IsEnd is_end) {
    Supported<T> list{items, 0};
    if (items)
        while (!is_end(items[list.count])) ++list.count;
    return list;
}

#if QEL_HAS_SUPPORTED_CONFIG
template <typename T>
Supported<T> config(const AVCodec* codec, AVCodecConfig which) {
    const void* items = nullptr;
    int count = 0;
    if (!codec || avcodec_get_supported_config(nullptr, codec, which, 0, &items, &count) < 0 || !items) return {};
    return {static_cast<const T*>(items), count};
}
#endif
}  // namespace detail

inline Supported<AVPixelFormat> pixel_formats(const AVCodec* codec) {
#if QEL_HAS_SUPPORTED_CONFIG
    return detail::config<AVPixelFormat>(codec, AV_CODEC_CONFIG_PIX_FORMAT);
#else
    return detail::terminated(codec ? codec->pix_fmts : nullptr, [](AVPixelFormat f) { return f == AV_PIX_FMT_NONE; });
#endif
}

inline Supported<AVSampleFormat> sample_formats(const AVCodec* codec) {
#if QEL_HAS_SUPPORTED_CONFIG
    return detail::config<AVSampleFormat>(codec, AV_CODEC_CONFIG_SAMPLE_FORMAT);
#else
    return detail::terminated(codec ? codec->sample_fmts : nullptr,
                              [](AVSampleFormat f) { return f == AV_SAMPLE_FMT_NONE; });
#endif
}

inline Supported<int> sample_rates(const AVCodec* codec) {
#if QEL_HAS_SUPPORTED_CONFIG
    return detail::config<int>(codec, AV_CODEC_CONFIG_SAMPLE_RATE);
#else
    return detail::terminated(codec ? codec->supported_samplerates : nullptr, [](int rate) { return rate == 0; });
#endif
}

inline Supported<AVChannelLayout> channel_layouts(const AVCodec* codec) {
#if QEL_HAS_SUPPORTED_CONFIG
    return detail::config<AVChannelLayout>(codec, AV_CODEC_CONFIG_CHANNEL_LAYOUT);
#else
    return detail::terminated(codec ? codec->ch_layouts : nullptr,
                              [](const AVChannelLayout& l) { return l.nb_channels == 0; });
#endif
}

// Field order travels with each frame: flags from FFmpeg 6.1, fields before.
inline void set_field_order(AVFrame* frame, bool interlaced, bool top_field_first) {
#if QEL_HAS_FRAME_FIELD_FLAGS
    frame->flags &= ~(AV_FRAME_FLAG_INTERLACED | AV_FRAME_FLAG_TOP_FIELD_FIRST);
    if (interlaced) frame->flags |= AV_FRAME_FLAG_INTERLACED;
    if (top_field_first) frame->flags |= AV_FRAME_FLAG_TOP_FIELD_FIRST;
#else
    frame->interlaced_frame = interlaced;
    frame->top_field_first = top_field_first;
#endif
}

inline bool is_interlaced(const AVFrame* frame) {
#if QEL_HAS_FRAME_FIELD_FLAGS
    return (frame->flags & AV_FRAME_FLAG_INTERLACED) != 0;
#else
    return frame->interlaced_frame != 0;
#endif
}

inline bool is_top_field_first(const AVFrame* frame) {
#if QEL_HAS_FRAME_FIELD_FLAGS
    return (frame->flags & AV_FRAME_FLAG_TOP_FIELD_FIRST) != 0;
#else
    return frame->top_field_first != 0;
#endif
}

// A decoded frame's key mark: a flag from FFmpeg 6.1, a field before.
inline bool is_key_frame(const AVFrame* frame) {
#if QEL_HAS_FRAME_FIELD_FLAGS
    return (frame->flags & AV_FRAME_FLAG_KEY) != 0;
#else
    return frame->key_frame != 0;
#endif
}

// Side data the muxer writes into the header (mastering display, light
// levels): zeroed room for it, or null when out of memory.
inline uint8_t* new_stream_side_data(AVStream& stream, AVPacketSideDataType type, size_t size) {
#if QEL_HAS_CODED_SIDE_DATA
    AVCodecParameters& parameters = *stream.codecpar;
    AVPacketSideData* data =
        av_packet_side_data_new(&parameters.coded_side_data, &parameters.nb_coded_side_data, type, size, 0);
    if (data) memset(data->data, 0, size);
    return data ? data->data : nullptr;
#else
    return av_stream_new_side_data(&stream, type, size);
#endif
}

// Copying the parameters copies the side data from FFmpeg 6.1; before, the
// stream's own list is copied beside them.
inline bool copy_stream_side_data(const AVStream& from, AVStream& to) {
#if QEL_HAS_CODED_SIDE_DATA
    (void)from;
    (void)to;
    return true;
#else
    for (int i = 0; i < from.nb_side_data; ++i) {
        const AVPacketSideData& data = from.side_data[i];
        uint8_t* copy = av_stream_new_side_data(&to, data.type, data.size);
        if (!copy) return false;
        memcpy(copy, data.data, data.size);
    }
    return true;
#endif
}

}  // namespace ffcompat
