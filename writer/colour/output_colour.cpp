#include "writer/colour/output_colour.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <algorithm>

namespace {

// Chromaticities in 0.00002 (as HEVC, mdcv and Matroska's readers round
// them), R, G, B then the D65 white point.
constexpr int CHROMA_UNITS = 50000;
constexpr int LUMINANCE_UNITS = 10000;
constexpr int DISPLAY_P3[4][2] = {{34000, 16000}, {13250, 34500}, {7500, 3000}, {15635, 16450}};
constexpr int DISPLAY_BT2020[4][2] = {{35400, 14600}, {8500, 39850}, {6550, 2300}, {15635, 16450}};
// Held to what the formats hold: max luminance 1..10000 cd/m² (PQ's peak),
// min below it and at most 6.5535 cd/m², light levels 16 bits.
constexpr int32_t MAX_LUMINANCE_LIMIT = 10000;
constexpr int32_t MIN_LUMINANCE_LIMIT = 65535;
constexpr int32_t LIGHT_LIMIT = 65535;

void add_mastering(OutputColour& colour, const MasteringChoice& choice) {
    const int(*display)[2] = choice.primaries == 1 ? DISPLAY_BT2020 : DISPLAY_P3;
    AVMasteringDisplayMetadata& mastering = colour.mastering;
    for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 2; ++k) mastering.display_primaries[i][k] = av_make_q(display[i][k], CHROMA_UNITS);
    mastering.white_point[0] = av_make_q(display[3][0], CHROMA_UNITS);
    mastering.white_point[1] = av_make_q(display[3][1], CHROMA_UNITS);
    const int32_t maxLuminance = std::clamp<int32_t>(choice.maxLuminance, 1, MAX_LUMINANCE_LIMIT);
    const int32_t minLuminance = std::clamp<int32_t>(choice.minLuminance, 0, MIN_LUMINANCE_LIMIT);
    mastering.max_luminance = av_make_q(maxLuminance, 1);
    mastering.min_luminance = av_make_q(std::min(minLuminance, maxLuminance * LUMINANCE_UNITS - 1), LUMINANCE_UNITS);
    mastering.has_primaries = 1;
    mastering.has_luminance = 1;
    colour.light.MaxCLL = unsigned(std::clamp<int32_t>(choice.maxContentLight, 0, LIGHT_LIMIT));
    colour.light.MaxFALL = unsigned(std::clamp<int32_t>(choice.maxFrameAverageLight, 0, LIGHT_LIMIT));
    colour.hdr10 = true;
}

bool carries_full_range(AVPixelFormat format) {
    switch (format) {
        case AV_PIX_FMT_YUVJ420P:
        case AV_PIX_FMT_YUVJ422P:
        case AV_PIX_FMT_YUVJ444P:
        case AV_PIX_FMT_YUVJ440P:
        case AV_PIX_FMT_YUVJ411P:
            return true;
        default:
            break;
    }
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
    return descriptor && (descriptor->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL));
}

bool is_rgb(AVPixelFormat format) {
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
    return descriptor && (descriptor->flags & AV_PIX_FMT_FLAG_RGB);
}

}  // namespace

OutputColour decide_colour(AVPixelFormat out, AVCodecID codec, int32_t choice, const MasteringChoice& mastering) {
    OutputColour colour;
    colour.range = carries_full_range(out) ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    colour.space = is_rgb(out) ? AVCOL_SPC_RGB : AVCOL_SPC_BT709;
    if (!is_bt2020(choice)) return colour;
    const int depth = luma_depth(out);
    colour.primaries = AVCOL_PRI_BT2020;
    colour.space = is_rgb(out) ? AVCOL_SPC_RGB : AVCOL_SPC_BT2020_NCL;
    colour.conversion = BT2020_MATRIX;
    colour.transfer = choice == COLOUR_PQ    ? AVCOL_TRC_SMPTE2084
                      : choice == COLOUR_HLG ? AVCOL_TRC_ARIB_STD_B67
                      : codec == AV_CODEC_ID_PRORES ? AVCOL_TRC_BT709
                      : depth > 10           ? AVCOL_TRC_BT2020_12
                                             : AVCOL_TRC_BT2020_10;
    if (choice == COLOUR_PQ) add_mastering(colour, mastering);
    return colour;
}

void tag_encoder(AVCodecContext& context, const OutputColour& colour) {
    context.color_range = colour.range;
    context.colorspace = colour.space;
    context.color_primaries = colour.primaries;
    context.color_trc = colour.transfer;
}

void tag_frame(AVFrame& frame, const OutputColour& colour) {
    frame.color_range = colour.range;
    frame.colorspace = colour.space;
    frame.color_primaries = colour.primaries;
    frame.color_trc = colour.transfer;
}
