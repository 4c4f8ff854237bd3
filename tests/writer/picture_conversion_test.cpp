// The split conversion must give the very picture of the direct one for
// every output format it takes, except the colour of full-chroma outputs,
// which must be nearer the exact conversion than the direct one's; and it
// must step aside where it cannot.
#include "writer/split_converter.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <set>
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

bool full_chroma(const AVPixFmtDescriptor* format) { return format->log2_chroma_w == 0; }

// The bytes of the planes both ways must agree on, row by row, without
// padding. With full chroma the direct way reads an RGB source's colour at
// half width (libswscale's fast-bilinear shortcut), so only luma and alpha.
std::vector<uint8_t> plane_bytes(const AVFrame* frame) {
    const auto* format = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
    std::vector<uint8_t> bytes;
    for (int plane = 0; plane < format->nb_components; ++plane) {
        const bool chroma = plane == 1 || plane == 2;
        if (chroma && full_chroma(format)) continue;
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
    return setup;
}

struct BothWays {
    FramePtr direct;
    FramePtr split;
};

// Both ways on one picture; the direct one's output is the expectation.
BothWays expect_same_picture(const ConverterSetup& setup, unsigned seed,
                             const std::vector<uint16_t>* picture = nullptr) {
    const int channels = setup.inFormat == AV_PIX_FMT_RGBA64LE ? 4 : 3;
    const std::vector<uint16_t> host = picture ? *picture : hard_picture(setup.width, setup.height, channels, seed);

    FramePtr in = make_frame(setup.inFormat, setup.width, setup.height);
    for (int y = 0; y < setup.height; ++y)
        std::memcpy(in->data[0] + ptrdiff_t(y) * in->linesize[0], host.data() + size_t(y) * setup.width * channels,
                    size_t(setup.width) * size_t(channels) * 2);
    FramePtr direct = make_frame(setup.outFormat, setup.width, setup.height);
    SwsContextPtr converter = make_converter(setup);
    SplitConverter split;
    FramePtr splitOut = make_frame(setup.outFormat, setup.width, setup.height);
    const bool opened = converter && sws_scale_frame(converter.get(), direct.get(), in.get()) >= 0 && split.open(setup);
    EXPECT_TRUE(opened) << av_get_pix_fmt_name(setup.outFormat);
    // Twice: the second frame must not lean on anything the first left behind.
    for (int round = 0; opened && round < 2; ++round) {
        EXPECT_GE(split.convert(reinterpret_cast<const uint8_t*>(host.data()), splitOut.get()), 0);
        EXPECT_TRUE(plane_bytes(direct.get()) == plane_bytes(splitOut.get()))
            << av_get_pix_fmt_name(setup.outFormat) << " " << setup.width << "x" << setup.height << " " << channels
            << " channels";
    }
    return {std::move(direct), std::move(splitOut)};
}

// Mean and largest distance of Y, Cb and Cr from BT.709 worked out exactly (limited range, the output's depth).
std::array<double, 6> errors_from_exact(const AVFrame* frame, const std::vector<uint16_t>& host, int channels) {
    const int depth = av_pix_fmt_desc_get(AVPixelFormat(frame->format))->comp[0].depth;
    const double scale = std::ldexp(1.0, depth - 8), pixels = double(frame->width) * frame->height;
    std::array<double, 6> errors{};
    for (int y = 0; y < frame->height; ++y)
        for (int x = 0; x < frame->width; ++x) {
            const uint16_t* pixel = &host[(size_t(y) * size_t(frame->width) + size_t(x)) * size_t(channels)];
            const double r = pixel[0] / 65535.0, g = pixel[1] / 65535.0, b = pixel[2] / 65535.0;
            const double luma = 0.2126 * r + 0.7152 * g + 0.0722 * b;
            const double exact[3] = {(16 + 219 * luma) * scale, (128 + 224 * (b - luma) / 1.8556) * scale,
                                     (128 + 224 * (r - luma) / 1.5748) * scale};
            for (int plane = 0; plane < 3; ++plane) {
                const uint8_t* at = frame->data[plane] + ptrdiff_t(y) * frame->linesize[plane];
                const double value = depth > 8 ? double(reinterpret_cast<const uint16_t*>(at)[x]) : double(at[x]);
                errors[size_t(plane)] += std::fabs(value - exact[plane]) / pixels;
                errors[size_t(plane) + 3] = std::max(errors[size_t(plane) + 3], std::fabs(value - exact[plane]));
            }
        }
    return errors;
}

}  // namespace

TEST(SplitConversion, GivesTheDirectPictureForEveryFormatItTakes) {
    std::set<std::string> taken;
    for (const AVPixFmtDescriptor* format = nullptr; (format = av_pix_fmt_desc_next(format));) {
        const AVPixelFormat id = av_pix_fmt_desc_get_id(format);
        if (!SplitConverter().open(setup_for(id, 64, 34, 4))) continue;
        taken.insert(format->name);
        for (int channels : {4, 3})
            for (const auto& [width, height] : {std::pair{64, 34}, std::pair{38, 7}})
                expect_same_picture(setup_for(id, width, height, channels), unsigned(id));
    }
    // The formats the common encoders take must stay on the fast way.
    for (const char* name : {"yuv420p", "yuv422p", "yuv420p10le", "yuv422p10le", "yuv444p10le", "yuva444p10le"})
        EXPECT_TRUE(taken.count(name)) << name;
}

TEST(SplitConversion, FullChromaIsNoFartherFromTheExactColoursThanTheDirectWay) {
    for (AVPixelFormat out : {AV_PIX_FMT_YUV444P, AV_PIX_FMT_YUV444P10LE, AV_PIX_FMT_YUVA444P10LE, AV_PIX_FMT_YUV444P16LE})
        for (int channels : {4, 3}) {
            SCOPED_TRACE(std::string(av_get_pix_fmt_name(out)) + ", " + std::to_string(channels) + " channels");
            const std::vector<uint16_t> host = hard_picture(64, 34, channels, 11);
            const BothWays ways = expect_same_picture(setup_for(out, 64, 34, channels), 11, &host);
            const auto direct = errors_from_exact(ways.direct.get(), host, channels);
            const auto split = errors_from_exact(ways.split.get(), host, channels);
            for (size_t i = 0; i < split.size(); ++i) EXPECT_LE(split[i], direct[i]) << "plane " << i % 3;
        }
}

TEST(SplitConversion, GivesTheDirectPictureAtFullHd) {
    for (AVPixelFormat out : {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV422P10LE, AV_PIX_FMT_YUVA444P10LE}) {
        ConverterSetup setup = setup_for(out, 1920, 1080, 4);
        setup.fullRangeOut = out == AV_PIX_FMT_YUV420P;
        expect_same_picture(setup, 7);
    }
}

TEST(SplitConversion, StepsAsideWhereTheDirectWayDiffers) {
    SplitConverter split;
    // Odd widths get no pair averages from the direct way; alpha beside halved
    // chroma, packed and palette outputs have no split route.
    EXPECT_FALSE(split.open(setup_for(AV_PIX_FMT_YUV420P, 63, 34, 4)));
    for (AVPixelFormat out : {AV_PIX_FMT_YUVA420P, AV_PIX_FMT_NV12, AV_PIX_FMT_UYVY422,
                              AV_PIX_FMT_RGB24, AV_PIX_FMT_BGR8, AV_PIX_FMT_YUVJ420P})
        EXPECT_FALSE(split.open(setup_for(out, 64, 34, 4))) << av_get_pix_fmt_name(out);
    EXPECT_FALSE(split.isOpen());
    ConverterSetup fromEightBit = setup_for(AV_PIX_FMT_YUV420P, 64, 34, 4);
    fromEightBit.inFormat = AV_PIX_FMT_RGBA;
    EXPECT_FALSE(split.open(fromEightBit));
    FramePtr out = make_frame(AV_PIX_FMT_YUV420P, 64, 34);
    EXPECT_LT(split.convert(nullptr, out.get()), 0);
}
