// The host's 16-bit RGB(A) picture to planar YUV(A) in one pass: each host
// row read once, each output row written once, no picture in between. Takes
// 8- to 16-bit little-endian planar YUV with or without alpha, chroma full or
// halved either way; other outputs go through libswscale.
//
// Chroma is the average of the host pixels it covers (a pixel pair, or two
// pairs with halved height), as libswscale's fast bilinear takes it, so the
// pictures keep their geometry; every sample is the exactly rounded value of
// the matrix to within float precision.
#pragma once

#include "writer/picture/converter_setup.h"
#include "writer/picture/picture_rows.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/frame.h>
}

#include <cstdint>

class PictureConverter {
public:
    // False, and the converter stays closed, for an output it does not make.
    bool open(const ConverterSetup& setup);
    bool isOpen() const { return m_open; }
    void reset() { m_open = false; }

    // Host pixels (rows packed) into the planes of `out`, which must be set.
    // FFmpeg's error code on failure.
    int convert(const uint8_t* pixels, AVFrame* out) const {
        return convert(pixels, out, [](const qel::RowJob& job) { qel::convert_rows(job); });
    }

    // The same through a chosen path: `rows` is called for every row job.
    template <class Rows>
    int convert(const uint8_t* pixels, AVFrame* out, Rows&& rows) const {
        if (!m_open || !pixels || !out || !out->data[0]) return AVERROR(EINVAL);
        for (int y = 0; y < m_height; y += m_halfHeight ? 2 : 1) rows(jobAt(pixels, out, y));
        return 0;
    }

private:
    qel::RowJob jobAt(const uint8_t* pixels, const AVFrame* out, int y) const;

    qel::RowCoefficients m_coefficients;
    int m_width = 0;
    int m_height = 0;
    int m_channels = 0;
    bool m_wide = false;
    bool m_halfWidth = false;
    bool m_halfHeight = false;
    bool m_alpha = false;
    bool m_open = false;
};
