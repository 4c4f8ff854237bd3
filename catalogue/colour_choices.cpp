#include "colour_choices.h"

#include "availability.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/pixdesc.h>
}

#include "base/compat.h"

namespace {

constexpr const char* MARK_EIGHT_BITS = " (8 bits: not for PQ/HLG)";
constexpr const char* WHY_EIGHT_BITS = "it codes 8 bits at most, and Rec.2100 PQ and HLG need 10 or more";

bool same_layout(const AVPixFmtDescriptor& a, const AVPixFmtDescriptor& b) {
    constexpr uint64_t KEPT = AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_ALPHA;
    return a.log2_chroma_w == b.log2_chroma_w && a.log2_chroma_h == b.log2_chroma_h &&
           a.nb_components == b.nb_components && (a.flags & KEPT) == (b.flags & KEPT);
}

bool codes_ten_bits(const AVCodec& codec) {
    const auto formats = ffcompat::pixel_formats(&codec);
    if (formats.takes_any()) return true;
    for (AVPixelFormat format : formats)
        if (luma_depth(format) >= 10) return true;
    return false;
}

}  // namespace

const char* colour_name(int32_t choice) {
    switch (choice) {
        case COLOUR_REC2020: return "Rec.2020";
        case COLOUR_PQ: return "Rec.2100 PQ";
        case COLOUR_HLG: return "Rec.2100 HLG";
        default: return "Rec.709";
    }
}

bool is_bt2020(int32_t choice) { return choice == COLOUR_REC2020 || needs_ten_bits(choice); }
bool needs_ten_bits(int32_t choice) { return choice == COLOUR_PQ || choice == COLOUR_HLG; }

int luma_depth(int32_t pixel_format) {
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(AVPixelFormat(pixel_format));
    return descriptor ? descriptor->comp[0].depth : 0;
}

int32_t mastering_min_luminance(int32_t index) {
    constexpr int32_t count = int32_t(sizeof MASTERING_MIN_LUMINANCE_UNITS / sizeof MASTERING_MIN_LUMINANCE_UNITS[0]);
    return MASTERING_MIN_LUMINANCE_UNITS[index >= 0 && index < count ? index : DEFAULT_MASTERING_MIN_INDEX];
}

int32_t ten_bit_format_for(const ChoiceList& formats, int32_t current) {
    const AVPixFmtDescriptor* now = av_pix_fmt_desc_get(AVPixelFormat(current));
    int32_t firstTen = -1;
    int32_t firstMore = -1;
    for (size_t i = 0; i < formats.size(); ++i) {
        if (formats[i].unavailable) continue;
        const AVPixFmtDescriptor* candidate = av_pix_fmt_desc_get(AVPixelFormat(formats[i].value));
        if (!candidate || (candidate->flags & AV_PIX_FMT_FLAG_HWACCEL)) continue;
        const int depth = candidate->comp[0].depth;
        if (depth == 10 && now && same_layout(*now, *candidate)) return int32_t(i);
        if (depth == 10 && firstTen < 0) firstTen = int32_t(i);
        if (depth > 10 && firstMore < 0) firstMore = int32_t(i);
    }
    return firstTen >= 0 ? firstTen : firstMore;
}

void mark_without_ten_bits(EncoderList& list) {
    for (EncoderEntry& entry : list) {
        if (entry.media_type != 0 || entry.unavailable || entry.codec_id == 0) continue;
        const AVCodec* codec = avcodec_find_encoder_by_name(entry.name);
        if (!codec || codes_ten_bits(*codec)) continue;
        entry.unavailable = WHY_EIGHT_BITS;
        entry.label = marked_label(entry.label ? entry.label : entry.name, MARK_EIGHT_BITS);
    }
}
