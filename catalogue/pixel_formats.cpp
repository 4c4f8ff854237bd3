// Pixel formats of a video encoder and sample formats of an audio encoder.
#include "profiles.h"

#include "base/compat.h"

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
    for (AVPixelFormat format : ffcompat::pixel_formats(codec))
        if (const char* name = av_get_pix_fmt_name(format)) formats.push_back({name, format, false});
    if (!formats.empty()) return;
    for (int32_t format : FALLBACK_PIXEL_FORMATS)
        formats.push_back({av_get_pix_fmt_name(static_cast<AVPixelFormat>(format)), format, false});
}

const char* pixel_format_name(int32_t pixel_format) {
    const char* name = av_get_pix_fmt_name(AVPixelFormat(pixel_format));
    return name ? name : "?";
}

void list_sample_formats(const char* encoder_name, ChoiceList& formats) {
    formats.clear();
    const AVCodec* codec = encoder_of_type(encoder_name, AVMEDIA_TYPE_AUDIO);
    if (!codec) return;
    for (AVSampleFormat format : ffcompat::sample_formats(codec))
        if (const char* name = av_get_sample_fmt_name(format)) formats.push_back({name, format, false});
}

int32_t input_sample_format(int32_t bitsPerSample) {
    if (bitsPerSample <= 8) return AV_SAMPLE_FMT_U8;
    if (bitsPerSample <= 16) return AV_SAMPLE_FMT_S16;
    return AV_SAMPLE_FMT_S32;
}

int32_t choose_out_sample_format(const ChoiceList& sampleFormats, bool sixteenBit, int32_t inSampleFormat) {
    auto listed = [&](int32_t value) {
        for (const ChoiceEntry& entry : sampleFormats)
            if (entry.value == value) return true;
        return false;
    };
    if (sixteenBit) {
        if (listed(AV_SAMPLE_FMT_S16)) return AV_SAMPLE_FMT_S16;
        if (listed(AV_SAMPLE_FMT_S16P)) return AV_SAMPLE_FMT_S16P;
    } else if (listed(inSampleFormat)) {
        return inSampleFormat;
    }
    return sampleFormats.empty() ? -1 : sampleFormats.front().value;
}
