#include "audio_helpers.h"

#include <cmath>
#include <cstring>

double HostAudio::value(int channel, int64_t n) const {
    return amplitude * std::sin(2.0 * M_PI * frequency(channel) * double(n) / rate);
}

std::vector<uint8_t> HostAudio::block(int64_t first, int64_t count) const {
    std::vector<uint8_t> bytes(size_t(count) * size_t(bytesPerFrame()));
    uint8_t* out = bytes.data();
    for (int64_t n = first; n < first + count; ++n) {
        for (int c = 0; c < channels; ++c) {
            const double v = value(c, n);
            switch (format) {
            case AV_SAMPLE_FMT_U8: *out++ = uint8_t(std::lround(128.0 + v * 127.0)); break;
            case AV_SAMPLE_FMT_S16: {
                const int16_t s = int16_t(std::lround(v * 32767.0));
                std::memcpy(out, &s, 2);
                out += 2;
                break;
            }
            default: {
                // 24-bit precision in the high bits; with `lowBits` the lowest
                // of those 24 bits is set too.
                int32_t s = int32_t(std::lround(v * 8388607.0)) * 256;
                if (lowBits) s |= 0x100;
                std::memcpy(out, &s, 4);
                out += 4;
                break;
            }
            }
        }
    }
    return bytes;
}

std::string outputPath(const std::string& name, const std::string& extension) {
    return scratch_dir("audio_" + name) + "/" + name + "." + extension;
}

WriterSettings settingsFor(const RenderJob& job) {
    WriterSettings settings;
    settings.width = job.width;
    settings.height = job.height;
    settings.frameRate = job.fps;
    settings.inSampleRate = job.inRate > 0 ? job.inRate : job.host.rate;
    settings.channels = job.host.channels;
    settings.stereo = job.stereo;
    settings.inSampleFormat = job.host.format;
    settings.outSampleFormat = job.outFormat;
    settings.quality = 0;
    settings.containerName = job.container.c_str();
    settings.videoCodecName = job.videoCodec.empty() ? nullptr : job.videoCodec.c_str();
    settings.audioCodecName = job.audioCodec.empty() ? nullptr : job.audioCodec.c_str();
    settings.inPixelFormat = AV_PIX_FMT_RGBA64LE;
    settings.outPixelFormat = -1;
    settings.fieldOrder = AV_FIELD_PROGRESSIVE;
    settings.timecode = "00:00:00:00";
    return settings;
}

int64_t sliceStart(int64_t frame, int rate, double fps) { return int64_t(std::floor(rate * double(frame) / fps + 0.5)); }

RenderResult render(const RenderJob& job, const std::string& path) {
    RenderResult result;
    result.path = path;
    FFWriter writer;
    writer.m_logCallback = keep_message;
    WriterSettings settings = settingsFor(job);
    result.opened = writer.open(path.c_str(), &settings);
    result.outSampleRate = writer.outSampleRate();
    if (!result.opened) return result;

    std::vector<uint16_t> pixels(size_t(job.width) * size_t(job.height) * 4, 0x8000);
    for (int frame = 0; frame < job.frames; ++frame) {
        const int64_t start = sliceStart(frame, job.host.rate, job.fps);
        const int64_t count = sliceStart(frame + 1, job.host.rate, job.fps) - start;
        if (!job.audioCodec.empty()) {
            const std::vector<uint8_t> block = job.host.block(start, count);
            if (!writer.writeAudio(block.data(), int64_t(block.size()))) result.allWritten = false;
            result.samplesSent += count;
        }
        if (!job.videoCodec.empty() &&
            !writer.writeVideoFrame(pixels.data(), nullptr, 0, frame == 0, nullptr))
            result.allWritten = false;
    }
    result.closed = writer.close();
    return result;
}

namespace {

// The sine and cosine components of `frequency` in `decoded`.
void project(const std::vector<double>& decoded, double frequency, int rate, int64_t skip, double& sine,
             double& cosine, double& energy, int64_t& count) {
    sine = cosine = energy = 0;
    count = 0;
    for (size_t n = size_t(skip); n < decoded.size(); ++n) {
        const double phase = 2.0 * M_PI * frequency * double(n) / rate;
        sine += decoded[n] * std::sin(phase);
        cosine += decoded[n] * std::cos(phase);
        energy += decoded[n] * decoded[n];
        ++count;
    }
}

}  // namespace

double toneCorrelation(const std::vector<double>& decoded, double frequency, int rate, int64_t skip) {
    double sine, cosine, energy;
    int64_t count;
    project(decoded, frequency, rate, skip, sine, cosine, energy, count);
    if (energy <= 0 || count == 0) return 0;
    return std::sqrt(sine * sine + cosine * cosine) / std::sqrt(energy * double(count) / 2.0);
}

double toneAmplitude(const std::vector<double>& decoded, double frequency, int rate, int64_t skip) {
    double sine, cosine, energy;
    int64_t count;
    project(decoded, frequency, rate, skip, sine, cosine, energy, count);
    if (count == 0) return 0;
    return 2.0 * std::sqrt(sine * sine + cosine * cosine) / double(count);
}

double hostCorrelation(const std::vector<double>& decoded, const HostAudio& host, int channel, int64_t first) {
    double dot = 0, energy = 0, hostEnergy = 0;
    for (size_t n = 0; n < decoded.size(); ++n) {
        const double expected = host.value(channel, first + int64_t(n));
        dot += decoded[n] * expected;
        energy += decoded[n] * decoded[n];
        hostEnergy += expected * expected;
    }
    return energy > 0 && hostEnergy > 0 ? dot / std::sqrt(energy * hostEnergy) : 0;
}

int64_t soundLength(const std::vector<double>& decoded, double amplitude) {
    // An eighth of the amplitude: a sine stays above it but for a few samples
    // around its zero crossings, so both ends are found to within those.
    const double loud = amplitude / 8;
    int64_t first = -1, last = -1;
    for (size_t n = 0; n < decoded.size(); ++n) {
        if (std::abs(decoded[n]) <= loud) continue;
        if (first < 0) first = int64_t(n);
        last = int64_t(n);
    }
    return first < 0 ? 0 : last - first + 1;
}
