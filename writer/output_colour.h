// The colour of one output, decided once when it opens: the matrix the
// converter is given and the tags of the encoder and of every frame come from
// this one decision, so the file says what its pixels are.
#pragma once

#include "converter_setup.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

// The colour spaces a host's timeline may be graded in. The host's 16-bit
// R'G'B' values are already in the chosen one (PQ- or HLG-encoded for the
// Rec.2100 choices), so the choice picks the matrix and the tags.
enum ColourChoice : int32_t { COLOUR_REC709 = 0, COLOUR_REC2020 = 1, COLOUR_PQ = 2, COLOUR_HLG = 3 };

struct OutputColour {
    AVColorRange range = AVCOL_RANGE_MPEG;
    AVColorSpace space = AVCOL_SPC_BT709;
    AVColorPrimaries primaries = AVCOL_PRI_BT709;
    AVColorTransferCharacteristic transfer = AVCOL_TRC_BT709;
    YuvMatrix conversion = BT709_MATRIX;
};

// RGB and the "J" formats carry full range, every other YUV format the
// limited range players expect. The BT.2020 choices convert with BT.2020's
// non-constant-luminance matrix; Rec.2020 itself is tagged with BT.2020's
// transfer for the depth (10 bits and below, else 12). An unknown choice (a
// project from a later module) is Rec.709.
OutputColour decide_colour(AVPixelFormat out, int32_t choice = COLOUR_REC709);

void tag_encoder(AVCodecContext& context, const OutputColour& colour);
// Some encoders (prores_ks) write the colour each frame carries, not the context's.
void tag_frame(AVFrame& frame, const OutputColour& colour);
