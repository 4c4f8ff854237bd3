// A faster way through libswscale for planar YUV, the pictures most encoders
// take.
//
// libswscale reads interleaved 16-bit RGB one pixel at a time through a
// pixel-format lookup: about 20 ms for a 1080p frame here, as long as the
// encoding itself. Its planar 16-bit readers are vectorised. So the host's
// picture is split into planes here and libswscale finishes the job. With
// halved chroma two converters do: one makes luma from the full planes, the
// other chroma from planes of pixel-pair averages, which are exactly what the
// interleaved readers take for chroma, so the picture is byte for byte the
// direct conversion's. With full chroma (4:4:4, with or without alpha) one
// converter reads the planes; luma and alpha are the direct conversion's, and
// colour is nearer the exact one, since the direct way reads an RGB source's
// colour at half width under fast bilinear.
#pragma once

#include "base/ffmpeg_ptr.h"

#include <cstdint>

// The settings every converter of one output shares, so the two ways agree.
struct ConverterSetup {
    int width = 0;
    int height = 0;
    AVPixelFormat inFormat = AV_PIX_FMT_NONE;
    AVPixelFormat outFormat = AV_PIX_FMT_NONE;
    bool fullRangeOut = false;
};

// A converter from `setup.inFormat` to `setup.outFormat` at one size, fast
// bilinear, BT.709, the setup's output range, libswscale's slice threads; null
// when libswscale refuses the pair.
SwsContextPtr make_converter(const ConverterSetup& setup);

class SplitConverter {
public:
    // False, and the converter stays closed, when the formats or the size
    // have no split route; the writer then converts directly.
    bool open(const ConverterSetup& setup);
    bool isOpen() const { return m_lumaContext != nullptr; }
    void reset();

    // Converts host pixels (rows packed) into `out`, whose planes are set
    // and owned through out->buf[0]. FFmpeg's error code on failure.
    int convert(const uint8_t* pixels, AVFrame* out);

private:
    bool openFull(const ConverterSetup& setup, int channels, bool alpha);
    void split(const uint16_t* pixels);

    SwsContextPtr m_lumaContext;    // with full chroma, the whole picture's
    SwsContextPtr m_chromaContext;  // none with full chroma
    FramePtr m_planes;      // 16-bit G, B, R (and A) at full size
    FramePtr m_pairPlanes;  // G, B, R at half width, averages of pixel pairs; none with full chroma
    FramePtr m_lumaTarget;    // luma format, its plane the output's luma
    FramePtr m_chromaTarget;  // chroma format, its chroma planes the output's
    int m_width = 0;
    int m_height = 0;
    int m_channels = 0;
    bool m_alpha = false;
};
