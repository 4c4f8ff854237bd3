// What the writer tests share beyond the common kit: writing a clip and
// reading it back with a real decoder, and a measure of its pictures.
#pragma once

#include "VelmoraServices.h"
#include "common/media_probe.h"
#include "common/writer_kit.h"
#include "common/writer_log.h"
#include "base/log.h"
#include "writer/FFWriter.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace writer_test {

// av_dump_format and the encoders' chatter would drown the test output.
inline const bool g_quiet = (av_log_set_callback(probe::detail::log_line), true);

// Decoder messages at error level count as errors; every `rgbEvery`-th frame (none for 0) read as RGB48.
inline probe::File decode_file(const std::string& path, int rgbEvery = 0) {
    probe::Options options;
    options.rgb_every = rgbEvery;
    options.log_errors = true;
    return probe::read(path, options);
}

// Open, write_frames and close, each expected to succeed; the file as decode_file reads it.
inline probe::File write_clip(FFWriter& writer, const std::string& path, WriterSettings settings, int frames,
                              const char* timecode = "01:00:00:00", int rgbEvery = 0, int forcedKey = 0) {
    EXPECT_TRUE(writer.open(path.c_str(), &settings)) << last_message();
    const int channels = settings.inPixelFormat == AV_PIX_FMT_RGBA64LE ? 4 : 3;
    EXPECT_TRUE(write_frames(writer, frames, settings.width, settings.height, channels, timecode, forcedKey));
    EXPECT_TRUE(writer.close());
    EXPECT_FALSE(writer.isOpen());
    return decode_file(path, rgbEvery);
}

// The worst channel's mean difference of 8x8 block averages, as a fraction of
// full scale: coding noise averages out, a shift of levels does not.
inline double level_error(const std::vector<uint16_t>& decodedRgb, const std::vector<uint16_t>& hostPicture, int width,
                          int height, int channels) {
    constexpr int BLOCK = 8;
    double worst = 0;
    for (int c = 0; c < 3; ++c) {
        double sum = 0;
        int blocks = 0;
        for (int by = 0; by + BLOCK <= height; by += BLOCK)
            for (int bx = 0; bx + BLOCK <= width; bx += BLOCK, ++blocks) {
                double decoded = 0, host = 0;
                for (int y = by; y < by + BLOCK; ++y)
                    for (int x = bx; x < bx + BLOCK; ++x) {
                        const size_t pixel = size_t(y) * size_t(width) + size_t(x);
                        decoded += decodedRgb[pixel * 3 + size_t(c)];
                        host += hostPicture[pixel * size_t(channels) + size_t(c)];
                    }
                sum += std::abs(decoded - host) / (BLOCK * BLOCK);
            }
        worst = std::max(worst, sum / blocks / 65535.0);
    }
    return worst;
}

}  // namespace writer_test
