// Pixel formats of a video encoder and sample formats of an audio encoder.
#include "profiles.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
}

static const AVCodec* encoder_of_type(const char* name, AVMediaType type) {
    if (!name) return nullptr;
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    return (codec && codec->type == type) ? codec : nullptr;
}

void list_pixel_formats(const char* encoder_name, ChoiceList& formats) {
    formats.clear();
    const AVCodec* codec = encoder_of_type(encoder_name, AVMEDIA_TYPE_VIDEO);
    if (!codec) return;
    if (codec->pix_fmts) {
        for (const AVPixelFormat* format = codec->pix_fmts; *format != AV_PIX_FMT_NONE; ++format)
            if (const char* name = av_get_pix_fmt_name(*format)) formats.push_back({name, *format, false});
    }
    if (!formats.empty()) return;
    for (int32_t format : FALLBACK_PIXEL_FORMATS)
        formats.push_back({av_get_pix_fmt_name(static_cast<AVPixelFormat>(format)), format, false});
}

void list_sample_formats(const char* encoder_name, ChoiceList& formats) {
    formats.clear();
    const AVCodec* codec = encoder_of_type(encoder_name, AVMEDIA_TYPE_AUDIO);
    if (!codec || !codec->sample_fmts) return;
    for (const AVSampleFormat* format = codec->sample_fmts; *format != AV_SAMPLE_FMT_NONE; ++format)
        if (const char* name = av_get_sample_fmt_name(*format)) formats.push_back({name, *format, false});
}
