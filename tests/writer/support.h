// What the writer tests share beyond the common kit: clips written through
// FFWriter, with a known tone for sound, read back with FFmpeg's decoders.
#pragma once

#include "VelmoraServices.h"
#include "common/media_probe.h"
#include "common/writer_kit.h"
#include "common/writer_log.h"
#include "base/log.h"
#include "writer/FFWriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
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
    EXPECT_TRUE(writer.open(path.c_str(), &settings)) << last_message();
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

// A host's sound: every channel its own sine, so the channels' order in the file can be told apart.
struct HostAudio {
    int rate = 48000, channels = 2;
    AVSampleFormat format = AV_SAMPLE_FMT_S16;
    double amplitude = 0.5;
    bool lowBits = false;  // a low byte below 16 bits in every sample, as 24-bit audio read as 32-bit has

    double frequency(int channel) const { return 330.0 + 220.0 * channel; }
    double value(int channel, int64_t n) const { return amplitude * std::sin(2 * M_PI * frequency(channel) * n / rate); }
    // Interleaved samples [first, first+count); 32-bit ones hold 24 bits in their high bits.
    std::vector<uint8_t> block(int64_t first, int64_t count) const {
        const int size = av_get_bytes_per_sample(format);
        std::vector<uint8_t> bytes(size_t(count) * size_t(size * channels));
        uint8_t* out = bytes.data();
        for (int64_t n = first; n < first + count; ++n)
            for (int c = 0; c < channels; ++c, out += size) {
                const double v = value(c, n);
                const int32_t s = format == AV_SAMPLE_FMT_U8    ? int32_t(std::lround(128.0 + v * 127.0))
                                  : format == AV_SAMPLE_FMT_S16 ? int32_t(std::lround(v * 32767.0))
                                                                : int32_t(std::lround(v * 8388607.0)) * 256 | (lowBits ? 0x100 : 0);
                std::memcpy(out, &s, size_t(size));  // little-endian: the low bytes
            }
        return bytes;
    }
};

struct RenderJob {
    std::string container = "mov", audioCodec = "pcm_s16le", videoCodec = "mpeg4";
    AVSampleFormat outFormat = AV_SAMPLE_FMT_S16;
    bool stereo = false;
    double fps = 30000.0 / 1001.0;
    int frames = 300;
    HostAudio host;
};

inline RenderJob job_for(const char* container, const char* audioCodec, AVSampleFormat outFormat,
                         const char* videoCodec = "mpeg4", int frames = 300) {
    RenderJob job;
    job.container = container;
    job.audioCodec = audioCodec;
    job.outFormat = outFormat;
    job.videoCodec = job.container == "webm" && *videoCodec ? "libvpx" : videoCodec;
    job.frames = frames;
    return job;
}

inline WriterSettings settings_for(const RenderJob& job) {
    WriterSettings s = video_settings(job.container.c_str(), job.videoCodec.empty() ? nullptr : job.videoCodec.c_str(),
                                      64, 48, 4);
    s.frameRate = job.fps;
    s.inSampleRate = job.host.rate;
    s.channels = job.host.channels;
    s.stereo = job.stereo;
    s.inSampleFormat = job.host.format;
    s.outSampleFormat = job.outFormat;
    s.audioCodecName = job.audioCodec.empty() ? nullptr : job.audioCodec.c_str();
    return s;
}

// A fresh path in the build tree, one per name.
inline std::string output_path(const std::string& name, const std::string& extension) {
    return scratch_dir("audio_" + name) + "/" + name + "." + extension;
}

// Frame n's slice of sound starts here: 1601/1602 samples at 48 kHz and 29.97 fps.
inline int64_t slice_start(int64_t frame, int rate, double fps) { return int64_t(std::floor(rate * frame / fps + 0.5)); }

struct RenderResult {
    bool opened = false, allWritten = true;
    int64_t samplesSent = 0;  // per channel, at the host rate
    int32_t outSampleRate = 0;
    std::string path;
};

// Each frame's slice of sound, then its picture.
inline RenderResult render(const RenderJob& job, const std::string& path) {
    RenderResult result;
    result.path = path;
    FFWriter writer;
    writer.m_logCallback = keep_message;
    WriterSettings settings = settings_for(job);
    result.opened = writer.open(path.c_str(), &settings);
    result.outSampleRate = writer.outSampleRate();
    if (!result.opened) return result;
    const std::vector<uint16_t> pixels(size_t(64 * 48 * 4), 0x8000);
    for (int frame = 0; frame < job.frames; ++frame) {
        const int64_t start = slice_start(frame, job.host.rate, job.fps);
        const int64_t count = slice_start(frame + 1, job.host.rate, job.fps) - start;
        if (!job.audioCodec.empty()) {
            const std::vector<uint8_t> block = job.host.block(start, count);
            result.allWritten &= writer.writeAudio(block.data(), int64_t(block.size()));
            result.samplesSent += count;
        }
        if (!job.videoCodec.empty())
            result.allWritten &= writer.writeVideoFrame(pixels.data(), nullptr, 0, frame == 0, nullptr);
    }
    result.allWritten &= writer.close();
    return result;
}

// Amplitude of the `frequency` component of `decoded`, best over phase.
inline double tone_amplitude(const std::vector<double>& decoded, double frequency, int rate) {
    double sine = 0, cosine = 0;
    for (size_t n = 0; n < decoded.size(); ++n) {
        sine += decoded[n] * std::sin(2 * M_PI * frequency * double(n) / rate);
        cosine += decoded[n] * std::cos(2 * M_PI * frequency * double(n) / rate);
    }
    return decoded.empty() ? 0 : 2 * std::hypot(sine, cosine) / double(decoded.size());
}

// Normalised correlation with a sine of `frequency`: 1 for a clean tone, near 0 where it is absent.
inline double tone_correlation(const std::vector<double>& decoded, double frequency, int rate) {
    double energy = 0;
    for (double v : decoded) energy += v * v;
    return energy > 0 ? tone_amplitude(decoded, frequency, rate) / std::sqrt(2 * energy / double(decoded.size())) : 0;
}

// Correlation with host channel `channel` sample for sample: high only when decoded sample n is host sample n.
inline double host_correlation(const std::vector<double>& decoded, const HostAudio& host, int channel) {
    double dot = 0, energy = 0, hostEnergy = 0;
    for (size_t n = 0; n < decoded.size(); ++n) {
        const double expected = host.value(channel, int64_t(n));
        dot += decoded[n] * expected;
        energy += decoded[n] * decoded[n];
        hostEnergy += expected * expected;
    }
    return energy > 0 && hostEnergy > 0 ? dot / std::sqrt(energy * hostEnergy) : 0;
}

// Samples from the first to the last above an eighth of `amplitude`: the
// sound's length wherever the decoder placed it.
inline int64_t sound_length(const std::vector<double>& decoded, double amplitude) {
    const auto loud = [amplitude](double v) { return std::abs(v) > amplitude / 8; };
    const auto first = std::find_if(decoded.begin(), decoded.end(), loud);
    const auto last = std::find_if(decoded.rbegin(), decoded.rend(), loud);
    return first == decoded.end() ? 0 : int64_t(decoded.rend() - last) - int64_t(first - decoded.begin());
}

}  // namespace writer_test
