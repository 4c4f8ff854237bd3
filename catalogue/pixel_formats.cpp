// The pixel formats a video encoder takes, as the panel lists them.
#include "profiles.h"

#include "base/compat.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/pixdesc.h>
}

void list_pixel_formats(const char* encoder_name, ChoiceList& formats) {
    formats.clear();
    const AVCodec* codec = encoder_name ? avcodec_find_encoder_by_name(encoder_name) : nullptr;
    if (!codec || codec->type != AVMEDIA_TYPE_VIDEO) return;
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
