// Which pictures a profile can carry, so a panel and an open keep profile and
// pixels agreed: moving one moves the other, and a stored pair that cannot
// agree is refused with the profile it needs.
#include "profiles.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace {

const ProfilePixelsRow* row_for(int32_t codec_id, const char* label, int32_t profile) {
    for (const ProfilePixelsRow& row : PROFILE_PIXELS) {
        if (row.codec_id != codec_id) continue;
        if (row.label ? (label && std::strcmp(row.label, label) == 0) : row.profile == profile) return &row;
    }
    return nullptr;
}

uint8_t layout_of(const AVPixFmtDescriptor& descriptor) {
    if (descriptor.nb_components < 3) return GRAY;
    switch (descriptor.log2_chroma_w * 2 + descriptor.log2_chroma_h) {
    case 0: return C444;
    case 1: return C440;
    case 2: return C422;
    case 3: return C420;
    default: return 0;  // 4:1:1 and 4:1:0: no profile of the table carries them
    }
}

bool row_carries(const ProfilePixelsRow* row, int32_t pixel_format) {
    if (!row) return true;
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(AVPixelFormat(pixel_format));
    if (!descriptor) return false;
    const int depth = descriptor->comp[0].depth;
    return (layout_of(*descriptor) & row->layouts) && depth >= row->min_depth && depth <= row->max_depth;
}

const ProfilePixelsRow* row_of(int32_t codec_id, const ChoiceEntry& profile) {
    return row_for(codec_id, profile.label, profile.value);
}

}  // namespace

bool profile_carries(int32_t codec_id, const char* label, int32_t profile, int32_t pixel_format) {
    return row_carries(row_for(codec_id, label, profile), pixel_format);
}

int32_t profile_for_pixels(int32_t codec_id, const ChoiceList& profiles, size_t current, int32_t pixel_format) {
    for (size_t i = current; i < profiles.size(); ++i)
        if (row_carries(row_of(codec_id, profiles[i]), pixel_format)) return int32_t(i);
    for (size_t i = std::min(current, profiles.size()); i-- > 0;)
        if (row_carries(row_of(codec_id, profiles[i]), pixel_format)) return int32_t(i);
    return -1;
}

int32_t pixels_for_profile(int32_t codec_id, const ChoiceEntry& profile, const ChoiceList& formats) {
    const ProfilePixelsRow* row = row_of(codec_id, profile);
    // A 4:4:4-only profile is a mastering one: keep the alpha channel where there is one.
    const bool wantAlpha = row && row->layouts == C444;
    int32_t fallback = -1;
    for (size_t i = 0; i < formats.size(); ++i) {
        if (!row_carries(row, formats[i].value)) continue;
        const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(AVPixelFormat(formats[i].value));
        const bool alpha = descriptor && (descriptor->flags & AV_PIX_FMT_FLAG_ALPHA);
        if (alpha == wantAlpha) return int32_t(i);
        if (fallback < 0) fallback = int32_t(i);
    }
    return fallback;
}
