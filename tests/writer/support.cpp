#include "support.h"

#include "common/run.h"

extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace writer_test {
namespace {

// av_dump_format and the encoders' chatter would drown the test output.
struct QuietFFmpeg {
    QuietFFmpeg() { av_log_set_callback(probe::detail::log_line); }
} g_quiet;

}  // namespace

std::vector<uint16_t> host_picture(int width, int height, int channels, int frame) {
    std::vector<uint16_t> pixels(size_t(width) * size_t(height) * size_t(channels));
    const double low = 0.08 * 65535.0, span = 0.84 * 65535.0;
    std::vector<uint16_t> across(static_cast<size_t>(width)), wave(static_cast<size_t>(width + height));
    for (int x = 0; x < width; ++x) across[size_t(x)] = uint16_t(low + span * ((x + 2 * frame) % width) / width);
    for (int d = 0; d < width + height; ++d)
        wave[size_t(d)] = uint16_t(low + span * (0.5 + 0.5 * std::sin((d + 2 * frame) * 0.02)));
    for (int y = 0; y < height; ++y) {
        const auto down = uint16_t(low + span * y / height);
        uint16_t* p = &pixels[size_t(y) * size_t(width) * size_t(channels)];
        for (int x = 0; x < width; ++x, p += channels) {
            p[0] = across[size_t(x)];
            p[1] = down;
            p[2] = wave[size_t(x + y)];
            if (channels == 4) p[3] = 65535;
        }
    }
    return pixels;
}

bool write_frames(FFWriter& writer, int count, int width, int height, int channels, const char* timecode,
                  int forcedKey) {
    for (int i = 0; i < count; ++i) {
        const std::vector<uint16_t> picture = host_picture(width, height, channels, i);
        if (!writer.writeVideoFrame(picture.data(), nullptr, 0, i == 0 || i == forcedKey, timecode)) return false;
    }
    return true;
}

std::string scratch_dir(const std::string& name) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::path(QEL_BUILD_DIR) / "test_writer_files" / name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir.string();
}

bool file_exists(const std::string& path) { return std::filesystem::exists(path); }

WriterSettings video_settings(const char* container, const char* codec, int width, int height, int channels) {
    WriterSettings settings;
    settings.containerName = container;
    settings.videoCodecName = codec;
    settings.width = width;
    settings.height = height;
    settings.frameRate = 25.0;
    settings.inPixelFormat = channels == 4 ? AV_PIX_FMT_RGBA64LE : AV_PIX_FMT_RGB48LE;
    settings.outPixelFormat = AV_PIX_FMT_NONE;
    settings.fieldOrder = AV_FIELD_PROGRESSIVE;
    settings.timecode = "01:00:00:00";
    return settings;
}

probe::File decode_file(const std::string& path, int rgbEvery) {
    probe::Options options;
    options.rgb_every = rgbEvery;
    options.log_errors = true;
    return probe::read(path, options);
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
        run_command("ffprobe -v error -select_streams v:0 -show_entries stream=field_order -of csv=p=0 '" + path + "'")
            .out;
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r' || output.back() == ','))
        output.pop_back();
    return output;
}

}  // namespace writer_test
