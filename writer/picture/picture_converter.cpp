#include "writer/picture/picture_converter.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <cmath>

namespace {

// Planar YUV, one component per plane in order, stored alike, little endian.
bool is_plain_planar_yuv(const AVPixFmtDescriptor* format) {
    constexpr uint64_t refused = AV_PIX_FMT_FLAG_BE | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM |
                                 AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_BAYER |
                                 AV_PIX_FMT_FLAG_FLOAT;
    const bool alpha = format->flags & AV_PIX_FMT_FLAG_ALPHA;
    if (format->nb_components != (alpha ? 4 : 3) || (format->flags & refused) ||
        !(format->flags & AV_PIX_FMT_FLAG_PLANAR) || format->log2_chroma_w > 1 || format->log2_chroma_h > 1)
        return false;
    const int depth = format->comp[0].depth;
    if (depth < 8 || depth > 16 || format->comp[0].step != (depth > 8 ? 2 : 1)) return false;
    for (int i = 0; i < format->nb_components; ++i) {
        const AVComponentDescriptor& component = format->comp[i];
        if (component.plane != i || component.offset != 0 || component.shift != 0 || component.depth != depth ||
            component.step != format->comp[0].step)
            return false;
    }
    return true;
}

// Weights on host samples (0 to 65535) giving samples of `depth` bits, with
// the rounding half added to the offsets.
qel::RowCoefficients coefficients_for(const YuvMatrix& matrix, int depth, bool fullRange) {
    const double maximum = std::ldexp(1.0, depth) - 1, unit = std::ldexp(1.0, depth - 8);
    const double lumaScale = (fullRange ? maximum : 219 * unit) / 65535;
    const double chromaScale = (fullRange ? maximum : 224 * unit) / 65535;
    const double red = matrix.red, blue = matrix.blue, green = 1 - red - blue;
    const double luma[3] = {red, green, blue};
    const double cb[3] = {-red / (2 * (1 - blue)), -green / (2 * (1 - blue)), 0.5};
    const double cr[3] = {0.5, -green / (2 * (1 - red)), -blue / (2 * (1 - red))};

    qel::RowCoefficients k;
    for (int c = 0; c < 3; ++c) {
        k.y[c] = float(luma[c] * lumaScale);
        for (int covered = 1; covered <= 4; ++covered) {
            k.cb[covered - 1][c] = float(cb[c] * chromaScale / covered);
            k.cr[covered - 1][c] = float(cr[c] * chromaScale / covered);
        }
    }
    k.yOffset = float((fullRange ? 0 : 16 * unit) + 0.5);
    k.cOffset = float((fullRange ? std::ldexp(1.0, depth - 1) : 128 * unit) + 0.5);
    k.a = float(maximum / 65535);
    k.aOffset = 0.5f;
    k.maximum = int32_t(maximum);
    return k;
}

}  // namespace

bool PictureConverter::open(const ConverterSetup& setup) {
    reset();
    const int channels = setup.inFormat == AV_PIX_FMT_RGBA64LE ? 4 : setup.inFormat == AV_PIX_FMT_RGB48LE ? 3 : 0;
    const AVPixFmtDescriptor* out = av_pix_fmt_desc_get(setup.outFormat);
    if (!channels || !out || !is_plain_planar_yuv(out) || setup.width < 1 || setup.height < 1) return false;
    const int depth = out->comp[0].depth;
    m_coefficients = coefficients_for(setup.matrix, depth, setup.fullRangeOut);
    m_width = setup.width;
    m_height = setup.height;
    m_channels = channels;
    m_wide = depth > 8;
    m_halfWidth = out->log2_chroma_w == 1;
    m_halfHeight = out->log2_chroma_h == 1;
    m_alpha = out->nb_components == 4;
    m_open = true;
    return true;
}

qel::RowJob PictureConverter::jobAt(const uint8_t* pixels, const AVFrame* out, int y) const {
    const auto row = [&](int at) {
        return reinterpret_cast<const uint16_t*>(pixels) + size_t(at) * size_t(m_width) * size_t(m_channels);
    };
    const auto plane = [&](int index, int at) { return out->data[index] + ptrdiff_t(at) * out->linesize[index]; };
    qel::RowJob job;
    job.channels = m_channels;
    job.width = m_width;
    job.wide = m_wide;
    job.halfWidth = m_halfWidth;
    job.k = &m_coefficients;
    const int rows = m_halfHeight && y + 1 < m_height ? 2 : 1;
    for (int r = 0; r < rows; ++r) {
        job.rows[r] = row(y + r);
        job.luma[r] = plane(0, y + r);
        if (m_alpha) job.alpha[r] = plane(3, y + r);
    }
    const int chromaRow = m_halfHeight ? y / 2 : y;
    job.cb = plane(1, chromaRow);
    job.cr = plane(2, chromaRow);
    return job;
}
