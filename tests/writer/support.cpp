#include "support.h"

#include "common/run.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>
#include <cmath>

namespace writer_test {
namespace {

// av_dump_format and the encoders' chatter would drown the test output.
struct QuietFFmpeg {
    QuietFFmpeg() { av_log_set_callback(probe::detail::log_line); }
} g_quiet;

}  // namespace

probe::File decode_file(const std::string& path, int rgbEvery) {
    probe::Options options;
    options.rgb_every = rgbEvery;
    options.log_errors = true;
    return probe::read(path, options);
}

probe::File write_clip(FFWriter& writer, const std::string& path, WriterSettings settings, int frames,
                       const char* timecode, int rgbEvery, int forcedKey) {
    EXPECT_TRUE(writer.open(path.c_str(), &settings)) << last_message();
    const int channels = settings.inPixelFormat == AV_PIX_FMT_RGBA64LE ? 4 : 3;
    EXPECT_TRUE(write_frames(writer, frames, settings.width, settings.height, channels, timecode, forcedKey));
    EXPECT_TRUE(writer.close());
    EXPECT_FALSE(writer.isOpen());
    return decode_file(path, rgbEvery);
}

double level_error(const std::vector<uint16_t>& decodedRgb, const std::vector<uint16_t>& hostPicture, int width,
                   int height, int channels) {
    // Block means: coding noise averages out, a shift of levels does not.
    constexpr int BLOCK = 8;
    double worst = 0;
    for (int c = 0; c < 3; ++c) {
        double sum = 0;
        int blocks = 0;
        for (int by = 0; by + BLOCK <= height; by += BLOCK)
            for (int bx = 0; bx + BLOCK <= width; bx += BLOCK) {
                double decoded = 0, host = 0;
                for (int y = by; y < by + BLOCK; ++y)
                    for (int x = bx; x < bx + BLOCK; ++x) {
                        const size_t pixel = size_t(y) * size_t(width) + size_t(x);
                        decoded += decodedRgb[pixel * 3 + size_t(c)];
                        host += hostPicture[pixel * size_t(channels) + size_t(c)];
                    }
                sum += std::abs(decoded - host) / (BLOCK * BLOCK);
                ++blocks;
            }
        worst = std::max(worst, sum / blocks / 65535.0);
    }
    return worst;
}

std::string probe_field_order(const std::string& path) {
    std::string output =
        probe_streams("-select_streams v:0 -show_entries stream=field_order '" + path + "'")
            .out;
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r' || output.back() == ','))
        output.pop_back();
    return output;
}

}  // namespace writer_test
