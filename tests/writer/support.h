// What the writer tests share beyond the common kit: clips written through
// FFWriter, with a known tone for sound, read back with FFmpeg's decoders.
#pragma once

#include "VelmoraServices.h"
#include "common/media_probe.h"
#include "common/tones.h"
#include "common/writer_kit.h"
#include "common/writer_log.h"
#include "base/log.h"
#include "writer/FFWriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <cstdint>
#include <cstring>
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
    EXPECT_TRUE(writer.open(path.c_str(), settings)) << last_message();
    const int channels = settings.inPixelFormat == AV_PIX_FMT_RGBA64LE ? 4 : 3;
    EXPECT_TRUE(write_frames(writer, frames, settings.width, settings.height, channels, timecode, forcedKey));
    EXPECT_TRUE(writer.close());
    EXPECT_FALSE(writer.isOpen());
    return decode_file(path, rgbEvery);
}

// The worst channel's mean difference of 8x8 block averages, as a fraction of
// full scale: coding noise averages out, a shift of levels does not.
inline double level_error(const std::vector<uint16_t>& decodedRgb, const std::vector<uint16_t>& host, int width,
                          int height, int channels) {
    double worst = 0;
    for (int c = 0; c < 3; ++c) {
        double sum = 0;
        int blocks = 0;
        for (int by = 0; by + 8 <= height; by += 8)
            for (int bx = 0; bx + 8 <= width; bx += 8, ++blocks) {
                double difference = 0;
                for (int y = by; y < by + 8; ++y)
                    for (int x = bx; x < bx + 8; ++x) {
                        const size_t pixel = size_t(y) * size_t(width) + size_t(x);
                        difference += decodedRgb[pixel * 3 + size_t(c)] - host[pixel * size_t(channels) + size_t(c)];
                    }
                sum += std::abs(difference) / 64;
            }
        worst = std::max(worst, sum / blocks / 65535.0);
    }
    return worst;
}

// A host's 16-bit interleaved sound, samples [first, first+count): every
// channel its own sine at half scale, so the channels' order can be told apart.
inline double host_frequency(int channel) { return 330.0 + 220.0 * channel; }
inline std::vector<uint8_t> host_sound(int rate, int channels, int64_t first, int64_t count) {
    std::vector<int16_t> samples;
    for (int64_t n = first; n < first + count; ++n)
        for (int c = 0; c < channels; ++c)
            samples.push_back(int16_t(std::lround(16383.5 * std::sin(2 * M_PI * host_frequency(c) * double(n) / rate))));
    const auto* bytes = reinterpret_cast<const uint8_t*>(samples.data());
    return std::vector<uint8_t>(bytes, bytes + samples.size() * 2);
}

// The host's 16-bit samples to `codec` (none for nullptr) in `container`, beside 64x48 `video` if named.
inline WriterSettings sound_settings(const char* container, const char* codec, AVSampleFormat out, int rate = 48000,
                                     int channels = 2, const char* video = nullptr) {
    WriterSettings s = video_settings(container, video, 64, 48, 4);
    s.audioCodecName = codec;
    s.inSampleRate = rate;
    s.channels = channels;
    s.inSampleFormat = AV_SAMPLE_FMT_S16;
    s.outSampleFormat = out;
    return s;
}

// A fresh path in the build tree, one per name.
inline std::string output_path(const std::string& name, const std::string& extension) {
    return scratch_dir("audio_" + name) + "/" + name + "." + extension;
}

}  // namespace writer_test
