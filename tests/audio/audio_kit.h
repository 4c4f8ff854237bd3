// Renders of a known tone through FFWriter, and measures of the sound that
// probe::read finds in the file.
#pragma once

#include "common/media_probe.h"
#include "common/writer_kit.h"
#include "common/writer_log.h"
#include "base/log.h"
#include "writer/FFWriter.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/samplefmt.h>
}

// A host clip: every channel carries its own sine, so the order of the
// channels in the file can be told apart.
struct HostAudio {
    int rate = 48000;
    int channels = 2;
    AVSampleFormat format = AV_SAMPLE_FMT_S16;
    double amplitude = 0.5;
    // Every sample's low byte set below 16-bit precision, as 24-bit audio read as 32-bit carries it.
    bool lowBits = false;

    double frequency(int channel) const { return 330.0 + 220.0 * channel; }
    double value(int channel, int64_t n) const {
        return amplitude * std::sin(2.0 * M_PI * frequency(channel) * double(n) / rate);
    }
    // Interleaved samples [first, first+count) in `format`; 32-bit ones hold
    // 24-bit precision in their high bits.
    std::vector<uint8_t> block(int64_t first, int64_t count) const {
        std::vector<uint8_t> bytes(size_t(count) * size_t(av_get_bytes_per_sample(format) * channels));
        uint8_t* out = bytes.data();
        for (int64_t n = first; n < first + count; ++n)
            for (int c = 0; c < channels; ++c) {
                const double v = value(c, n);
                if (format == AV_SAMPLE_FMT_U8) {
                    *out++ = uint8_t(std::lround(128.0 + v * 127.0));
                } else if (format == AV_SAMPLE_FMT_S16) {
                    const auto s = int16_t(std::lround(v * 32767.0));
                    std::memcpy(out, &s, 2), out += 2;
                } else {
                    const int32_t s = int32_t(std::lround(v * 8388607.0)) * 256 | (lowBits ? 0x100 : 0);
                    std::memcpy(out, &s, 4), out += 4;
                }
            }
        return bytes;
    }
};

struct RenderJob {
    std::string container = "mov";
    std::string audioCodec = "pcm_s16le";
    std::string videoCodec = "mpeg4";
    AVSampleFormat outFormat = AV_SAMPLE_FMT_S16;
    bool stereo = false;
    double fps = 30000.0 / 1001.0;
    int frames = 300;
    int width = 64;
    int height = 48;
    HostAudio host;
    double inRate = 0;  // 0: the host rate
};

struct RenderResult {
    bool opened = false;
    bool allWritten = true;
    int64_t samplesSent = 0;  // per channel, at the host rate
    int32_t outSampleRate = 0;
    std::string path;
};

// A fresh path in the build tree, one per name; the container's name is its extension.
inline std::string outputPath(const std::string& name, const std::string& extension) {
    return scratch_dir("audio_" + name) + "/" + name + "." + extension;
}

inline RenderJob job_for(const char* container, const char* audioCodec, AVSampleFormat outFormat,
                         const char* videoCodec = "mpeg4") {
    RenderJob job;
    job.container = container;
    job.audioCodec = audioCodec;
    job.outFormat = outFormat;
    job.videoCodec = job.container == "webm" && *videoCodec ? "libvpx" : videoCodec;
    return job;
}

inline WriterSettings settingsFor(const RenderJob& job) {
    WriterSettings settings = video_settings(job.container.c_str(), job.videoCodec.empty() ? nullptr : job.videoCodec.c_str(),
                                             job.width, job.height, 4);
    settings.frameRate = job.fps;
    settings.inSampleRate = int32_t(job.inRate > 0 ? job.inRate : job.host.rate);
    settings.channels = job.host.channels;
    settings.stereo = job.stereo;
    settings.inSampleFormat = job.host.format;
    settings.outSampleFormat = job.outFormat;
    settings.audioCodecName = job.audioCodec.empty() ? nullptr : job.audioCodec.c_str();
    settings.timecode = "00:00:00:00";
    return settings;
}

// Frame n's slice of sound starts here: 1601/1602 samples at 48 kHz and 29.97 fps.
inline int64_t sliceStart(int64_t frame, int rate, double fps) {
    return int64_t(std::floor(rate * double(frame) / fps + 0.5));
}

// Each frame's slice of sound, then its picture.
inline RenderResult render(const RenderJob& job, const std::string& path) {
    RenderResult result;
    result.path = path;
    FFWriter writer;
    writer.m_logCallback = keep_message;
    WriterSettings settings = settingsFor(job);
    result.opened = writer.open(path.c_str(), &settings);
    result.outSampleRate = writer.outSampleRate();
    if (!result.opened) return result;
    const std::vector<uint16_t> pixels(size_t(job.width) * size_t(job.height) * 4, 0x8000);
    for (int frame = 0; frame < job.frames; ++frame) {
        const int64_t start = sliceStart(frame, job.host.rate, job.fps);
        const int64_t count = sliceStart(frame + 1, job.host.rate, job.fps) - start;
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
inline double toneAmplitude(const std::vector<double>& decoded, double frequency, int rate) {
    double sine = 0, cosine = 0;
    for (size_t n = 0; n < decoded.size(); ++n) {
        const double phase = 2.0 * M_PI * frequency * double(n) / rate;
        sine += decoded[n] * std::sin(phase);
        cosine += decoded[n] * std::cos(phase);
    }
    return decoded.empty() ? 0 : 2.0 * std::sqrt(sine * sine + cosine * cosine) / double(decoded.size());
}

// Normalised correlation with a sine of `frequency` Hz: 1 for a clean tone,
// near 0 when the tone is absent.
inline double toneCorrelation(const std::vector<double>& decoded, double frequency, int rate) {
    double energy = 0;
    for (double v : decoded) energy += v * v;
    return energy > 0 ? toneAmplitude(decoded, frequency, rate) / std::sqrt(2 * energy / double(decoded.size())) : 0;
}

// Correlation with host channel `channel` sample for sample (no shift
// allowed): high only when decoded sample n is host sample `first` + n.
inline double hostCorrelation(const std::vector<double>& decoded, const HostAudio& host, int channel, int64_t first = 0) {
    double dot = 0, energy = 0, hostEnergy = 0;
    for (size_t n = 0; n < decoded.size(); ++n) {
        const double expected = host.value(channel, first + int64_t(n));
        dot += decoded[n] * expected;
        energy += decoded[n] * decoded[n];
        hostEnergy += expected * expected;
    }
    return energy > 0 && hostEnergy > 0 ? dot / std::sqrt(energy * hostEnergy) : 0;
}

// Samples from the first to the last above an eighth of `amplitude`: the
// length of the sound wherever the decoder placed it (a sine dips below that
// only for a few samples around its zero crossings).
inline int64_t soundLength(const std::vector<double>& decoded, double amplitude) {
    int64_t first = -1, last = -1;
    for (size_t n = 0; n < decoded.size(); ++n) {
        if (std::abs(decoded[n]) <= amplitude / 8) continue;
        if (first < 0) first = int64_t(n);
        last = int64_t(n);
    }
    return first < 0 ? 0 : last - first + 1;
}
