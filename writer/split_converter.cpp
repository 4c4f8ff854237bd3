#include "split_converter.h"

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include <cstring>

namespace {

constexpr AVPixelFormat PLANES_FORMAT = AV_PIX_FMT_GBRP16LE;
constexpr AVPixelFormat ALPHA_PLANES_FORMAT = AV_PIX_FMT_GBRAP16LE;
constexpr uint64_t KIND_FLAGS = AV_PIX_FMT_FLAG_BE | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM |
                                AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_ALPHA |
                                AV_PIX_FMT_FLAG_BAYER | AV_PIX_FMT_FLAG_FLOAT;

// Three planes (four with alpha), one component each, stored the same way.
bool is_plain_planar_yuv(const AVPixFmtDescriptor* format, bool withAlpha = false) {
    const uint64_t allowed = AV_PIX_FMT_FLAG_BE | (withAlpha ? AV_PIX_FMT_FLAG_ALPHA : 0);
    if (format->nb_components != (withAlpha ? 4 : 3) || (format->flags & KIND_FLAGS & ~allowed) ||
        (withAlpha && !(format->flags & AV_PIX_FMT_FLAG_ALPHA)) || !(format->flags & AV_PIX_FMT_FLAG_PLANAR) ||
        std::strncmp(format->name, "yuvj", 4) == 0)
        return false;
    for (int i = 0; i < format->nb_components; ++i) {
        const AVComponentDescriptor& component = format->comp[i];
        if (component.plane != i || component.offset != 0 || component.shift != 0 ||
            component.depth != format->comp[0].depth || component.step != format->comp[0].step)
            return false;
    }
    return true;
}

// A format whose samples are stored like `like`'s, with `components` planes
// and the chroma height (but not width) of `like`.
AVPixelFormat find_format(const AVPixFmtDescriptor* like, int components) {
    for (const AVPixFmtDescriptor* format = nullptr; (format = av_pix_fmt_desc_next(format));) {
        if (format->nb_components != components || (format->flags & KIND_FLAGS) != (like->flags & KIND_FLAGS) ||
            format->comp[0].depth != like->comp[0].depth || format->comp[0].step != like->comp[0].step)
            continue;
        if (components == 1 && format->comp[0].plane == 0 && format->comp[0].offset == 0 &&
            format->comp[0].shift == 0)
            return av_pix_fmt_desc_get_id(format);
        if (components == 3 && is_plain_planar_yuv(format) && format->log2_chroma_w == 0 &&
            format->log2_chroma_h == like->log2_chroma_h)
            return av_pix_fmt_desc_get_id(format);
    }
    return AV_PIX_FMT_NONE;
}

FramePtr make_frame(AVPixelFormat format, int width, int height, bool withBuffer) {
    FramePtr frame(av_frame_alloc());
    if (!frame) return frame;
    frame->format = format;
    frame->width = width;
    frame->height = height;
    if (withBuffer && av_frame_get_buffer(frame.get(), 0) < 0) frame.reset();
    return frame;
}

}  // namespace

SwsContextPtr make_converter(const ConverterSetup& setup) {
    // Same size in and out: only the pixel layout changes. libswscale's own
    // slice threads give the same picture as one thread, only sooner.
    // Formats it cannot convert are refused before init: FFmpeg 5.1 leaks the
    // slice contexts of a threaded init that fails.
    if (!sws_isSupportedInput(setup.inFormat) || !sws_isSupportedOutput(setup.outFormat)) return nullptr;
    SwsContextPtr context(sws_alloc_context());
    SwsContext* sws = context.get();
    const bool configured =
        sws && av_opt_set_int(sws, "srcw", setup.width, 0) >= 0 && av_opt_set_int(sws, "srch", setup.height, 0) >= 0 &&
        av_opt_set_int(sws, "src_format", setup.inFormat, 0) >= 0 && av_opt_set_int(sws, "dstw", setup.width, 0) >= 0 &&
        av_opt_set_int(sws, "dsth", setup.height, 0) >= 0 && av_opt_set_int(sws, "dst_format", setup.outFormat, 0) >= 0 &&
        av_opt_set_int(sws, "sws_flags", SWS_FAST_BILINEAR, 0) >= 0 && av_opt_set_int(sws, "threads", 0, 0) >= 0 &&
        sws_init_context(sws, nullptr, nullptr) >= 0;
    if (!configured) return nullptr;
    int* inverseTable = nullptr;
    int* table = nullptr;
    int sourceRange = 1, destinationRange = 0, brightness = 0, contrast = 1 << 16, saturation = 1 << 16;
    sws_getColorspaceDetails(sws, &inverseTable, &sourceRange, &table, &destinationRange, &brightness, &contrast,
                             &saturation);
    sws_setColorspaceDetails(sws, sws_getCoefficients(SWS_CS_ITU709), sourceRange, sws_getCoefficients(SWS_CS_ITU709),
                             setup.fullRangeOut ? 1 : 0, brightness, contrast, saturation);
    return context;
}

bool SplitConverter::open(const ConverterSetup& setup) {
    reset();
    const int channels = setup.inFormat == AV_PIX_FMT_RGBA64LE ? 4 : setup.inFormat == AV_PIX_FMT_RGB48LE ? 3 : 0;
    const AVPixFmtDescriptor* out = av_pix_fmt_desc_get(setup.outFormat);
    if (channels && out && setup.width >= 1 && setup.height >= 1 && out->log2_chroma_w == 0 &&
        out->log2_chroma_h == 0 && (is_plain_planar_yuv(out) || is_plain_planar_yuv(out, true)))
        return openFull(setup, channels, channels == 4 && out->nb_components == 4);
    // The direct conversion averages pixel pairs for chroma only at even widths.
    if (!channels || !out || !is_plain_planar_yuv(out) || out->log2_chroma_w != 1 || setup.width < 2 ||
        setup.width % 2 != 0 || setup.height < 1)
        return false;
    const AVPixelFormat lumaFormat = find_format(out, 1);
    const AVPixelFormat chromaFormat = find_format(out, 3);
    if (lumaFormat == AV_PIX_FMT_NONE || chromaFormat == AV_PIX_FMT_NONE) return false;

    ConverterSetup luma = setup;
    luma.inFormat = PLANES_FORMAT;
    luma.outFormat = lumaFormat;
    ConverterSetup chroma = luma;
    chroma.width = setup.width / 2;
    chroma.outFormat = chromaFormat;
    m_lumaContext = make_converter(luma);
    m_chromaContext = make_converter(chroma);
    m_planes = make_frame(PLANES_FORMAT, setup.width, setup.height, true);
    m_pairPlanes = make_frame(PLANES_FORMAT, chroma.width, setup.height, true);
    m_lumaTarget = make_frame(lumaFormat, setup.width, setup.height, false);
    // Its luma plane takes the half-width luma nobody needs.
    m_chromaTarget = make_frame(chromaFormat, chroma.width, setup.height, true);
    if (!m_lumaContext || !m_chromaContext || !m_planes || !m_pairPlanes || !m_lumaTarget || !m_chromaTarget) {
        reset();
        return false;
    }
    m_width = setup.width;
    m_height = setup.height;
    m_channels = channels;
    return true;
}

// Full chroma: no averages, one converter from the planes to the output.
// libswscale reads planar RGB at full width, so every pixel keeps its colour.
bool SplitConverter::openFull(const ConverterSetup& setup, int channels, bool alpha) {
    ConverterSetup planar = setup;
    planar.inFormat = alpha ? ALPHA_PLANES_FORMAT : PLANES_FORMAT;
    m_lumaContext = make_converter(planar);
    m_planes = make_frame(planar.inFormat, setup.width, setup.height, true);
    if (!m_lumaContext || !m_planes) {
        reset();
        return false;
    }
    m_width = setup.width;
    m_height = setup.height;
    m_channels = channels;
    m_alpha = alpha;
    return true;
}

void SplitConverter::reset() {
    m_lumaContext.reset();
    m_chromaContext.reset();
    m_planes.reset();
    m_pairPlanes.reset();
    m_lumaTarget.reset();
    m_chromaTarget.reset();
    m_alpha = false;
}

namespace {

uint16_t* row_of(const AVFrame* frame, int plane, int y) {
    return reinterpret_cast<uint16_t*>(frame->data[plane] + ptrdiff_t(y) * frame->linesize[plane]);
}

// Plain loops the compiler vectorises for any x86-64 (this file is built at
// -O3): the split is a large share of the conversion's time.
template <int CHANNELS, bool ALPHA>
void deinterleave_row(const uint16_t* __restrict source, uint16_t* __restrict red, uint16_t* __restrict green,
                      uint16_t* __restrict blue, uint16_t* __restrict alpha, int width) {
    for (int x = 0; x < width; ++x) {
        red[x] = source[CHANNELS * x];
        green[x] = source[CHANNELS * x + 1];
        blue[x] = source[CHANNELS * x + 2];
        if constexpr (ALPHA) alpha[x] = source[CHANNELS * x + 3];
    }
}

// Rounded as libswscale's interleaved readers round.
void average_pairs(const uint16_t* __restrict full, uint16_t* __restrict pairs, int pairCount) {
    for (int i = 0; i < pairCount; ++i) pairs[i] = uint16_t((full[2 * i] + full[2 * i + 1] + 1) >> 1);
}

// The planes are G, B, R (and A), as libswscale's planar RGB keeps them.
template <int CHANNELS, bool ALPHA>
void split_rows(const uint16_t* pixels, const AVFrame* planes, const AVFrame* pairPlanes, int width, int height) {
    for (int y = 0; y < height; ++y) {
        const uint16_t* source = pixels + size_t(y) * size_t(width) * CHANNELS;
        deinterleave_row<CHANNELS, ALPHA>(source, row_of(planes, 2, y), row_of(planes, 0, y), row_of(planes, 1, y),
                                          ALPHA ? row_of(planes, 3, y) : nullptr, width);
        if (pairPlanes)
            for (int plane = 0; plane < 3; ++plane)
                average_pairs(row_of(planes, plane, y), row_of(pairPlanes, plane, y), width / 2);
    }
}

void split_picture(const uint16_t* pixels, int channels, bool alpha, const AVFrame* planes, const AVFrame* pairs,
                   int width, int height) {
    if (alpha)
        split_rows<4, true>(pixels, planes, pairs, width, height);
    else if (channels == 4)
        split_rows<4, false>(pixels, planes, pairs, width, height);
    else
        split_rows<3, false>(pixels, planes, pairs, width, height);
}

}  // namespace

void SplitConverter::split(const uint16_t* pixels) {
    split_picture(pixels, m_channels, m_alpha, m_planes.get(), m_pairPlanes.get(), m_width, m_height);
}

int SplitConverter::convert(const uint8_t* pixels, AVFrame* out) {
    if (!isOpen()) return AVERROR(EINVAL);
    split(reinterpret_cast<const uint16_t*>(pixels));
    if (!m_chromaContext) return sws_scale_frame(m_lumaContext.get(), out, m_planes.get());

    // The converter wants a reference-counted target: the luma target's one
    // plane is the output's, and the output's buffer vouches for it.
    AVFrame* luma = m_lumaTarget.get();
    AVFrame* chroma = m_chromaTarget.get();
    luma->buf[0] = av_buffer_ref(out->buf[0]);
    if (!luma->buf[0]) return AVERROR(ENOMEM);
    luma->data[0] = out->data[0];
    luma->linesize[0] = out->linesize[0];
    for (int plane = 1; plane < 3; ++plane) {
        chroma->data[plane] = out->data[plane];
        chroma->linesize[plane] = out->linesize[plane];
    }
    int result = sws_scale_frame(m_lumaContext.get(), luma, m_planes.get());
    if (result >= 0) result = sws_scale_frame(m_chromaContext.get(), chroma, m_pairPlanes.get());
    av_buffer_unref(&luma->buf[0]);
    return result;
}
