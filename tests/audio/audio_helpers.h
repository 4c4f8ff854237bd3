// Renders of a known tone through FFWriter; files are read back by probe::read.
#pragma once

#include "common/media_probe.h"
#include "common/writer_kit.h"
#include "common/writer_log.h"
#include "base/log.h"
#include "writer/FFWriter.h"

#include <cstdint>
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
    double value(int channel, int64_t n) const;
    // Interleaved samples [first, first+count) in `format`.
    std::vector<uint8_t> block(int64_t first, int64_t count) const;
    int bytesPerFrame() const { return av_get_bytes_per_sample(format) * channels; }
};

struct RenderJob {
    std::string container = "mov";
    std::string extension = "mov";
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
    bool closed = false;
    int64_t samplesSent = 0;  // per channel, at the host rate
    double outSampleRate = 0;
    std::string path;
};

// A fresh output path in the build tree, one per name.
std::string outputPath(const std::string& name, const std::string& extension);
WriterSettings settingsFor(const RenderJob& job);
// Frame n of the clip: its slice of audio (rounded frame boundaries, so
// 1601/1602 samples at 48 kHz and 29.97 fps) then its picture.
int64_t sliceStart(int64_t frame, int rate, double fps);
RenderResult render(const RenderJob& job, const std::string& path);

// Normalised correlation of `decoded` with a sine of `frequency` Hz at `rate`,
// best over phase: 1 for a clean tone, near 0 when the tone is absent.
double toneCorrelation(const std::vector<double>& decoded, double frequency, int rate, int64_t skip = 0);
// Correlation of `decoded` with host channel `channel` sample for sample
// (no shift allowed): high only when decoded sample n is host sample n.
double hostCorrelation(const std::vector<double>& decoded, const HostAudio& host, int channel, int64_t first = 0);
// Samples from the first to the last that carry a tone of `amplitude`: the
// length of the sound, wherever the decoder placed it.
int64_t soundLength(const std::vector<double>& decoded, double amplitude);
// Amplitude of the `frequency` component of `decoded`.
double toneAmplitude(const std::vector<double>& decoded, double frequency, int rate, int64_t skip = 0);
