// What measuring an output's loudness costs: the meter alone on N seconds of
// 5.1 sound at 48 kHz, in the frames FFmpeg's AAC encoder takes (1024 planar
// float samples), and what it holds in memory after 1 and after 60 minutes
// of sound. bench/loudness_bench.sh sets it against the render it rides on.
//   loudness_bench SECONDS
#include "writer/loudness/loudness_meter.h"

extern "C" {
#include <libavutil/frame.h>
}

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

constexpr int RATE = 48000;
constexpr int FRAME = 1024;

// Resident memory of this process now, in KiB.
long resident_kib() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

AVFrame* sound_frame() {
    AVFrame* frame = av_frame_alloc();
    frame->format = AV_SAMPLE_FMT_FLTP;
    frame->sample_rate = RATE;
    frame->nb_samples = FRAME;
    av_channel_layout_from_mask(&frame->ch_layout, AV_CH_LAYOUT_5POINT1);
    if (av_frame_get_buffer(frame, 0) < 0) std::abort();
    return frame;
}

// Feeds `seconds` of a moving tone; the frame's samples change every time,
// as a render's do.
double feed(LoudnessMeter& meter, AVFrame* frame, double seconds) {
    const int64_t frames = int64_t(seconds * RATE / FRAME);
    const auto start = std::chrono::steady_clock::now();
    for (int64_t n = 0; n < frames; ++n) {
        for (int c = 0; c < 6; ++c) {
            auto* samples = reinterpret_cast<float*>(frame->extended_data[c]);
            for (int i = 0; i < FRAME; ++i)
                samples[i] = float(0.3 * std::sin(double(n * FRAME + i) * (0.05 + 0.01 * c)) * (1 + (n / 200) % 3));
        }
        meter.add(*frame, FRAME);
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The tone itself, without the meter: what feed() spends besides measuring.
double fill_only(AVFrame* frame, double seconds) {
    const int64_t frames = int64_t(seconds * RATE / FRAME);
    const auto start = std::chrono::steady_clock::now();
    volatile float sink = 0;
    for (int64_t n = 0; n < frames; ++n) {
        for (int c = 0; c < 6; ++c) {
            auto* samples = reinterpret_cast<float*>(frame->extended_data[c]);
            for (int i = 0; i < FRAME; ++i)
                samples[i] = float(0.3 * std::sin(double(n * FRAME + i) * (0.05 + 0.01 * c)) * (1 + (n / 200) % 3));
        }
        sink = sink + frame->extended_data[0][0];
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 30;
    AVFrame* frame = sound_frame();
    std::string why;
    auto meter = LoudnessMeter::create(frame->ch_layout, RATE, AV_SAMPLE_FMT_FLTP, -1, why);
    if (!meter) {
        std::fprintf(stderr, "loudness_bench: %s\n", why.c_str());
        return 1;
    }
    const double measuring = feed(*meter, frame, seconds) - fill_only(frame, seconds);
    std::printf("meter: %.0f s of 5.1 at 48 kHz measured in %.3f s\n", seconds, measuring);

    // Memory: one meter through an hour, its resident size after the first minute and at the end.
    auto hour = LoudnessMeter::create(frame->ch_layout, RATE, AV_SAMPLE_FMT_FLTP, -1, why);
    const long before = resident_kib();
    feed(*hour, frame, 60);
    const long minute = resident_kib();
    feed(*hour, frame, 59 * 60);
    const long end = resident_kib();
    const LoudnessFigures f = hour->figures();
    std::printf("memory: +%ld KiB after 1 minute, +%ld KiB after 60 minutes (curve points %zu, %.1f s each)\n",
                minute - before, end - before, f.curve.momentary.size(), f.curve.step);
    av_frame_free(&frame);
    return 0;
}
