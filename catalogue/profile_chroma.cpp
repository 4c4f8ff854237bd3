// Profiles that fix the chroma layout of their pictures (ProRes 4444 needs
// 4:4:4, HQ 4:2:2), so a panel and an open can keep profile and pixels agreed.
#include "profiles.h"

#include <cstddef>

extern "C" {
#include <libavutil/pixdesc.h>
}

Chroma profile_chroma(int32_t codec_id, int32_t profile) {
    for (const ProfileChromaRow& row : PROFILE_CHROMA)
        if (row.codec_id == codec_id && row.profile == profile) return row.chroma;
    return Chroma::Any;
}

bool has_chroma(int32_t pixel_format, Chroma chroma) {
    if (chroma == Chroma::Any) return true;
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(AVPixelFormat(pixel_format));
    if (!descriptor || descriptor->nb_components < 3) return false;
    const int width = descriptor->log2_chroma_w, height = descriptor->log2_chroma_h;
    return chroma == Chroma::C444 ? (width == 0 && height == 0) : (width == 1 && height == 0);
}

const char* chroma_name(Chroma chroma) {
    switch (chroma) {
    case Chroma::C444: return "4:4:4";
    case Chroma::C422: return "4:2:2";
    case Chroma::Any: break;
    }
    return "any";
}

int32_t format_for_chroma(const ChoiceList& formats, Chroma chroma) {
    const bool wantAlpha = chroma == Chroma::C444;
    int32_t fallback = -1;
    for (size_t i = 0; i < formats.size(); ++i) {
        if (!has_chroma(formats[i].value, chroma)) continue;
        const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(AVPixelFormat(formats[i].value));
        const bool alpha = descriptor && (descriptor->flags & AV_PIX_FMT_FLAG_ALPHA);
        if (alpha == wantAlpha) return int32_t(i);
        if (fallback < 0) fallback = int32_t(i);
    }
    return fallback;
}
