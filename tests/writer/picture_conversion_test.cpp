// The one-pass conversion: every vectorised target gives the plain path's
// bytes, every sample is the exact conversion rounded (nearer it than the
// libswscale route this replaced), and outputs it does not make are left to
// libswscale.
#include "writer/picture/picture_converter.h"

#include "base/ffmpeg_ptr.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// Noise, full-scale extremes and alternating neighbours: every rounding case
// of the pair averages and of the range limits.
std::vector<uint16_t> hard_picture(int width, int height, int channels, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<uint16_t> samples(size_t(width) * size_t(height) * size_t(channels));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c) {
                uint16_t& sample = samples[(size_t(y) * size_t(width) + size_t(x)) * size_t(channels) + size_t(c)];
                switch (y % 4) {
                    case 0: sample = uint16_t(random()); break;
                    case 1: sample = (x + c) % 2 ? 0xFFFF : 0; break;
                    case 2: sample = uint16_t((x * 977 + c * 30011) ^ (x % 2)); break;
                    default: sample = uint16_t(0x8000 + x % 2 - c); break;
                }
            }
    return samples;
}

FramePtr make_frame(AVPixelFormat format, int width, int height) {
    FramePtr frame(av_frame_alloc());
    frame->format = format;
    frame->width = width;
    frame->height = height;
    EXPECT_GE(av_frame_get_buffer(frame.get(), 0), 0);
    return frame;
}

// Every plane's samples, row by row, without padding.
std::vector<uint8_t> plane_bytes(const AVFrame* frame) {
    const auto* format = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
    std::vector<uint8_t> bytes;
    for (int plane = 0; plane < format->nb_components; ++plane) {
        const bool chroma = plane == 1 || plane == 2;
        const int shiftW = chroma ? format->log2_chroma_w : 0, shiftH = chroma ? format->log2_chroma_h : 0;
        const int rowBytes = AV_CEIL_RSHIFT(frame->width, shiftW) * format->comp[0].step;
        for (int y = 0; y < AV_CEIL_RSHIFT(frame->height, shiftH); ++y) {
            const uint8_t* row = frame->data[plane] + ptrdiff_t(y) * frame->linesize[plane];
            bytes.insert(bytes.end(), row, row + rowBytes);
        }
    }
    return bytes;
}

ConverterSetup setup_for(AVPixelFormat out, int width, int height, int channels) {
    ConverterSetup setup;
    setup.width = width;
    setup.height = height;
    setup.inFormat = channels == 4 ? AV_PIX_FMT_RGBA64LE : AV_PIX_FMT_RGB48LE;
    setup.outFormat = out;
    setup.fullRangeOut = std::strncmp(av_get_pix_fmt_name(out), "yuvj", 4) == 0;
    return setup;
}

// Mean and largest distance of Y, Cb, Cr and A from the conversion worked out
// exactly: chroma of the average of the pixels a chroma sample covers.
std::array<double, 8> errors_from_exact(const ConverterSetup& setup, const AVFrame* frame,
                                        const std::vector<uint16_t>& host) {
    const AVPixFmtDescriptor* format = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
    const int depth = format->comp[0].depth, channels = setup.inFormat == AV_PIX_FMT_RGBA64LE ? 4 : 3;
    const int width = setup.width, height = setup.height, cw = format->log2_chroma_w, ch = format->log2_chroma_h;
    const bool full = setup.fullRangeOut;
    const double maximum = std::ldexp(1.0, depth) - 1, unit = std::ldexp(1.0, depth - 8);
    const double kr = setup.matrix.red, kb = setup.matrix.blue;
    const auto host_sample = [&](int x, int y, int c) {
        return host[(size_t(y) * size_t(width) + size_t(x)) * size_t(channels) + size_t(c)] / 65535.0;
    };
    const auto sample = [&](int plane, int x, int y) {
        const uint8_t* at = frame->data[plane] + ptrdiff_t(y) * frame->linesize[plane];
        return depth > 8 ? double(reinterpret_cast<const uint16_t*>(at)[x]) : double(at[x]);
    };
    const auto luma_of = [&](int x, int y) {
        return kr * host_sample(x, y, 0) + (1 - kr - kb) * host_sample(x, y, 1) + kb * host_sample(x, y, 2);
    };
    std::array<double, 8> errors{};
    std::array<double, 4> counts{};
    const auto count = [&](int channel, double error) {
        errors[size_t(channel)] += error;
        counts[size_t(channel)] += 1;
        errors[size_t(channel) + 4] = std::max(errors[size_t(channel) + 4], error);
    };
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            count(0, std::fabs(sample(0, x, y) - ((full ? 0 : 16 * unit) + (full ? maximum : 219 * unit) * luma_of(x, y))));
            if (format->nb_components == 4)
                count(3, std::fabs(sample(3, x, y) - maximum * (channels == 4 ? host_sample(x, y, 3) : 1.0)));
        }
    for (int y = 0; y < AV_CEIL_RSHIFT(height, ch); ++y)
        for (int x = 0; x < AV_CEIL_RSHIFT(width, cw); ++x) {
            double cb = 0, cr = 0, covered = 0;
            for (int py = y << ch; py < std::min(height, (y + 1) << ch); ++py)
                for (int px = x << cw; px < std::min(width, (x + 1) << cw); ++px, ++covered) {
                    cb += (host_sample(px, py, 2) - luma_of(px, py)) / (2 * (1 - kb));
                    cr += (host_sample(px, py, 0) - luma_of(px, py)) / (2 * (1 - kr));
                }
            const double middle = full ? std::ldexp(1.0, depth - 1) : 128 * unit, scale = full ? maximum : 224 * unit;
            count(1, std::fabs(sample(1, x, y) - (middle + scale * cb / covered)));
            count(2, std::fabs(sample(2, x, y) - (middle + scale * cr / covered)));
        }
    for (size_t c = 0; c < 4; ++c)
        if (counts[c] > 0) errors[c] /= counts[c];
    return errors;
}

FramePtr convert(const ConverterSetup& setup, const std::vector<uint16_t>& host) {
    PictureConverter converter;
    FramePtr out = make_frame(setup.outFormat, setup.width, setup.height);
    EXPECT_TRUE(converter.open(setup)) << av_get_pix_fmt_name(setup.outFormat);
    EXPECT_EQ(converter.convert(reinterpret_cast<const uint8_t*>(host.data()), out.get()), 0);
    return out;
}

// Mean error (Y, Cb, Cr, A) of the libswscale route on the same picture
// (64x34, RGBA), measured before it was replaced. Its largest errors, where
// it made any, are all past the rounding the conversion is held to.
struct Accuracy {
    const char* format;
    std::array<double, 4> mean;
};
const Accuracy FORMER_ROUTE[] = {
    {"yuv420p", {0.5990, 0.3799, 0.2593, 0.0000}},
    {"yuv422p", {0.5990, 0.1319, 0.1350, 0.0000}},
    {"yuv444p", {0.5990, 0.6492, 0.5535, 0.0000}},
    {"yuvj420p", {0.6755, 0.3132, 0.3531, 0.0000}},
    {"yuvj422p", {0.6755, 0.1804, 0.1346, 0.0000}},
    {"yuvj444p", {0.6755, 36.0639, 41.7206, 0.0000}},
    {"yuv440p", {0.5990, 23.8396, 28.0330, 0.0000}},
    {"yuvj440p", {0.6755, 27.0349, 31.9505, 0.0000}},
    {"yuva420p", {0.5990, 0.3799, 0.2593, 0.9558}},
    {"yuv420p16le", {109.4120, 16.4925, 18.1131, 0.0000}},
    {"yuv422p16le", {109.4120, 16.5850, 18.7908, 0.0000}},
    {"yuv444p16le", {109.4120, 42.6075, 49.0567, 0.0000}},
    {"yuv420p9le", {1.2252, 0.2702, 0.2290, 0.0000}},
    {"yuv420p10le", {2.4390, 0.3075, 0.3411, 0.0000}},
    {"yuv422p10le", {2.4390, 0.3637, 0.4177, 0.0000}},
    {"yuv444p9le", {1.2252, 1.0273, 1.2067, 0.0000}},
    {"yuv444p10le", {2.4390, 2.1501, 2.5323, 0.0000}},
    {"yuv422p9le", {1.2252, 0.1548, 0.1696, 0.0000}},
    {"yuva422p", {0.5990, 0.1319, 0.1350, 0.9558}},
    {"yuva444p", {0.5990, 0.6492, 0.5535, 0.9558}},
    {"yuva420p9le", {1.2252, 0.2702, 0.2290, 1.8960}},
    {"yuva422p9le", {1.2252, 0.1548, 0.1696, 1.8960}},
    {"yuva444p9le", {1.2252, 1.0273, 1.2067, 1.8960}},
    {"yuva420p10le", {2.4390, 0.3075, 0.3411, 3.6691}},
    {"yuva422p10le", {2.4390, 0.3637, 0.4177, 3.6691}},
    {"yuva444p10le", {2.4390, 2.1501, 2.5323, 3.6691}},
    {"yuva420p16le", {109.4120, 16.4925, 18.1131, 0.0000}},
    {"yuva422p16le", {109.4120, 16.5850, 18.7908, 0.0000}},
    {"yuva444p16le", {109.4120, 42.6075, 49.0567, 0.0000}},
    {"yuv420p12le", {9.4966, 1.1983, 1.4251, 0.0000}},
    {"yuv420p14le", {37.7887, 4.9698, 5.5618, 0.0000}},
    {"yuv422p12le", {9.4966, 1.2030, 1.3722, 0.0000}},
    {"yuv422p14le", {37.7887, 5.0733, 5.5727, 0.0000}},
    {"yuv444p12le", {9.4966, 8.3390, 9.7842, 0.0000}},
    {"yuv444p14le", {37.7887, 33.5875, 39.2172, 0.0000}},
    {"yuv440p10le", {2.4390, 94.8027, 111.6014, 0.0000}},
    {"yuv440p12le", {9.4966, 379.3403, 446.6169, 0.0000}},
    {"yuva422p12le", {9.4966, 1.2030, 1.3722, 14.3681}},
    {"yuva444p12le", {9.4966, 8.3390, 9.7842, 14.3681}},
};

}  // namespace

TEST(PictureConversion, EveryVectorisedTargetGivesThePlainPathsBytes) {
    const std::vector<int64_t> targets = qel::conversion_targets();
    ASSERT_FALSE(targets.empty());
    for (AVPixelFormat format : {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV422P10LE, AV_PIX_FMT_YUVA444P10LE, AV_PIX_FMT_YUV440P,
                                 AV_PIX_FMT_YUVA420P, AV_PIX_FMT_YUV444P16LE, AV_PIX_FMT_YUVJ422P})
        for (int channels : {4, 3})
            // Widths below, at and past a vector, with tails; heights with an unpaired last row.
            for (const auto& [width, height] : {std::pair{1, 1}, std::pair{7, 3}, std::pair{33, 4}, std::pair{70, 5}}) {
                const ConverterSetup setup = setup_for(format, width, height, channels);
                const std::vector<uint16_t> host = hard_picture(width, height, channels, unsigned(width * height));
                const auto* pixels = reinterpret_cast<const uint8_t*>(host.data());
                PictureConverter converter;
                ASSERT_TRUE(converter.open(setup));
                FramePtr plain = make_frame(format, width, height);
                ASSERT_EQ(converter.convert(pixels, plain.get(), [](const qel::RowJob& job) { qel::convert_rows_plain(job); }), 0);
                for (int64_t target : targets) {
                    SCOPED_TRACE(std::string(qel::conversion_target_name(target)) + ", " + av_get_pix_fmt_name(format) +
                                 ", " + std::to_string(channels) + " channels, " + std::to_string(width) + "x" +
                                 std::to_string(height));
                    FramePtr out = make_frame(format, width, height);
                    bool ran = true;
                    converter.convert(pixels, out.get(),
                                      [&](const qel::RowJob& job) { ran = qel::convert_rows_on(target, job) && ran; });
                    EXPECT_TRUE(ran);
                    EXPECT_TRUE(plane_bytes(out.get()) == plane_bytes(plain.get()));
                }
            }
}

// Each sample is the exact value rounded, to within float precision, so never
// farther from it than the route it replaced; BT.2020 as exactly as BT.709.
TEST(PictureConversion, IsTheExactConversionRounded) {
    for (const Accuracy& former : FORMER_ROUTE)
        for (int channels : {4, 3})
            for (bool bt2020 : {false, true}) {
                const AVPixelFormat format = av_get_pix_fmt(former.format);
                SCOPED_TRACE(std::string(former.format) + ", " + std::to_string(channels) + " channels" +
                             (bt2020 ? ", BT.2020" : ""));
                ConverterSetup setup = setup_for(format, 64, 34, channels);
                if (bt2020) setup.matrix = BT2020_MATRIX;
                const std::vector<uint16_t> host = hard_picture(64, 34, channels, 11);
                const std::array<double, 8> errors = errors_from_exact(setup, convert(setup, host).get(), host);
                const double rounding = 0.5 + std::ldexp(1e-6, av_pix_fmt_desc_get(format)->comp[0].depth);
                for (size_t c = 0; c < 4; ++c) {
                    EXPECT_LE(errors[c + 4], rounding) << "channel " << c;
                    if (channels == 4 && !bt2020) {
                        EXPECT_LE(errors[c], former.mean[c]) << "channel " << c;
                    }
                }
            }
}

TEST(PictureConversion, TakesPlanarYuvAndLeavesTheRestToLibswscale) {
    int taken = 0;
    for (const AVPixFmtDescriptor* format = nullptr; (format = av_pix_fmt_desc_next(format));)
        taken += PictureConverter().open(setup_for(av_pix_fmt_desc_get_id(format), 64, 34, 4));
    EXPECT_EQ(taken, int(std::size(FORMER_ROUTE)));
    PictureConverter converter;
    for (AVPixelFormat out : {AV_PIX_FMT_NV12, AV_PIX_FMT_UYVY422, AV_PIX_FMT_YUV420P10BE, AV_PIX_FMT_RGB24,
                              AV_PIX_FMT_BGR8, AV_PIX_FMT_GRAY16LE, AV_PIX_FMT_YUV410P, AV_PIX_FMT_GBRP10LE})
        EXPECT_FALSE(converter.open(setup_for(out, 64, 34, 4))) << av_get_pix_fmt_name(out);
    // Refused after a good opening: nothing of it is left to convert with.
    ASSERT_TRUE(converter.open(setup_for(AV_PIX_FMT_YUV420P, 64, 34, 4)));
    ConverterSetup fromEightBit = setup_for(AV_PIX_FMT_YUV420P, 64, 34, 4);
    fromEightBit.inFormat = AV_PIX_FMT_RGBA;
    EXPECT_FALSE(converter.open(fromEightBit));
    EXPECT_FALSE(converter.isOpen());
    FramePtr out = make_frame(AV_PIX_FMT_YUV420P, 64, 34);
    EXPECT_LT(converter.convert(nullptr, out.get()), 0);
}
