// The sample formats an audio encoder takes, and the one the writer gives it.
#include "profiles.h"

#include "base/compat.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/samplefmt.h>
}

void list_sample_formats(const char* encoder_name, ChoiceList& formats) {
    formats.clear();
    const AVCodec* codec = encoder_name ? avcodec_find_encoder_by_name(encoder_name) : nullptr;
    if (!codec || codec->type != AVMEDIA_TYPE_AUDIO) return;
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
