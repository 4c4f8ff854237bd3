// What tests that drive FFWriter directly share: moving 16-bit host
// pictures, a frame writer, scratch folders and video settings.
#pragma once

#include "writer/FFWriter.h"

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// A moving 16-bit host picture, RGBA64LE (4 channels) or RGB48LE (3): soft
// gradients away from black and white, shifted per frame.
inline std::vector<uint16_t> host_picture(int width, int height, int channels, int frame) {
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

// Writes frames 0..count-1 of host_picture; frame 0 and `forcedKey` asked as key frames.
inline bool write_frames(FFWriter& writer, int count, int width = 64, int height = 48, int channels = 4,
                         const char* timecode = "01:00:00:00", int forcedKey = 0) {
    for (int i = 0; i < count; ++i) {
        const std::vector<uint16_t> picture = host_picture(width, height, channels, i);
        if (!writer.writeVideoFrame(picture.data(), nullptr, 0, i == 0 || i == forcedKey, timecode)) return false;
    }
    return true;
}

// A fresh directory under the build tree for one test's files.
inline std::string scratch_dir(const std::string& name) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::path(QEL_BUILD_DIR) / "test_files" / name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir.string();
}

inline bool file_exists(const std::string& path) { return std::filesystem::exists(path); }

// A video-only output; the caller keeps the texts alive for the call to open.
inline WriterSettings video_settings(const char* container, const char* codec, int width, int height, int channels) {
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
