// The colour of one output, decided once when it opens: the matrix the
// converter is given and the tags of the encoder and of every frame come from
// this one decision, so the file says what its pixels are.
#pragma once

#include "writer/picture/converter_setup.h"
#include "writer/settings/writer_settings.h"

#include "catalogue/colour_choices.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/mastering_display_metadata.h>
}

struct OutputColour {
    AVColorRange range = AVCOL_RANGE_MPEG;
    AVColorSpace space = AVCOL_SPC_BT709;
    AVColorPrimaries primaries = AVCOL_PRI_BT709;
    AVColorTransferCharacteristic transfer = AVCOL_TRC_BT709;
    YuvMatrix conversion = BT709_MATRIX;
    // PQ only: the mastering display (primaries in R, G, B order) and the
    // light levels every place that carries them is written from.
    bool hdr10 = false;
    AVMasteringDisplayMetadata mastering{};
    AVContentLightMetadata light{};
};

// RGB and the "J" formats carry full range, every other YUV format the
// limited range players expect. The BT.2020 choices convert with BT.2020's
// non-constant-luminance matrix; Rec.2020 itself is tagged with BT.2020's
// transfer for the depth (10 bits and below, else 12), but in ProRes, whose
// pictures hold only BT.709's code for that curve (QuickTime's 9-1-9). An
// unknown choice (a project from a later module) is Rec.709. PQ adds the
// mastering display and light levels, held to what the formats hold.
OutputColour decide_colour(AVPixelFormat out, AVCodecID codec, int32_t choice = COLOUR_REC709,
                           const MasteringChoice& mastering = {});

void tag_encoder(AVCodecContext& context, const OutputColour& colour);
// Some encoders (prores_ks) write the colour each frame carries, not the context's.
void tag_frame(AVFrame& frame, const OutputColour& colour);
