#include "output_colour.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace {

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

OutputColour decide_colour(AVPixelFormat out, int32_t choice) {
    OutputColour colour;
    colour.range = carries_full_range(out) ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    colour.space = is_rgb(out) ? AVCOL_SPC_RGB : AVCOL_SPC_BT709;
    if (choice != COLOUR_REC2020 && choice != COLOUR_PQ && choice != COLOUR_HLG) return colour;
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(out);
    const int depth = descriptor ? descriptor->comp[0].depth : 8;
    colour.primaries = AVCOL_PRI_BT2020;
    colour.space = is_rgb(out) ? AVCOL_SPC_RGB : AVCOL_SPC_BT2020_NCL;
    colour.conversion = BT2020_MATRIX;
    colour.transfer = choice == COLOUR_PQ    ? AVCOL_TRC_SMPTE2084
                      : choice == COLOUR_HLG ? AVCOL_TRC_ARIB_STD_B67
                      : depth > 10           ? AVCOL_TRC_BT2020_12
                                             : AVCOL_TRC_BT2020_10;
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
