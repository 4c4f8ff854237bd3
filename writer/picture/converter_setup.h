// What every converter of one output is told: sizes, formats, the output's
// range and the matrix from RGB to YUV.
#pragma once

extern "C" {
#include <libavutil/pixfmt.h>
}

// The luma weights of red and blue; green's is what is left.
struct YuvMatrix {
    double red = 0.2126;
    double blue = 0.0722;
    int swscaleSpace = 1;  // SWS_CS_ITU709
};

constexpr YuvMatrix BT709_MATRIX{};
constexpr YuvMatrix BT2020_MATRIX{0.2627, 0.0593, 9};  // SWS_CS_BT2020, the non-constant-luminance matrix

struct ConverterSetup {
    int width = 0;
    int height = 0;
    AVPixelFormat inFormat = AV_PIX_FMT_NONE;
    AVPixelFormat outFormat = AV_PIX_FMT_NONE;
    bool fullRangeOut = false;
    YuvMatrix matrix = BT709_MATRIX;
};
