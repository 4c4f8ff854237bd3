#include "writer/encoder/rate_control.h"

#include <algorithm>
#include <climits>

int32_t cbr_buffer_size(AVRational timeBase, int64_t bitRate, int32_t gopSize) {
    const auto saturate = [](int64_t value) { return std::clamp<int64_t>(value, INT32_MIN, INT32_MAX); };
    int64_t size = bitRate;
    if (gopSize != 0) {
        const double frameBits = double(timeBase.num) / double(timeBase.den) * double(bitRate) + 1.5;
        size = saturate(int64_t(std::min(frameBits, double(INT32_MAX)))) * gopSize;
    }
    size = saturate(size);
    // At least one frame's bits.
    const int64_t oneFrame = timeBase.num * bitRate;
    if (size != 0 && oneFrame > timeBase.den * size) size = saturate((oneFrame + timeBase.den - 1) / timeBase.den);
    return int32_t(size);
}

void apply_rate_control(AVCodecContext& codecContext, const WriterSettings& settings, LogSink log) {
    AVCodecContext* context = &codecContext;
    context->bit_rate = settings.videoBitRate;
    if (settings.vbr != 0) return;
    context->rc_min_rate = context->bit_rate;
    context->rc_max_rate = context->bit_rate;
    context->rc_buffer_size = cbr_buffer_size(context->time_base, context->bit_rate, context->gop_size);
    context->bit_rate_tolerance = int32_t(context->bit_rate);
    const bool mpegVideo = context->codec_id == AV_CODEC_ID_MPEG1VIDEO || context->codec_id == AV_CODEC_ID_MPEG2VIDEO;
    if (context->rc_max_rate != 0 && context->rc_max_rate == context->rc_min_rate && mpegVideo &&
        (int64_t(context->rc_buffer_size) - 1) * 90000 > context->rc_max_rate * 65535)
        log_to(log, LOG_WARNING,
            "QelFFmpegWriter: WARNING: bitrate mode will be set to VBR as the specified bitrate too large (buffer "
            "too large)!");
}
