// The rate a host's frames-per-second number stands for. A host running an
// NTSC project sends n × 1000/1001 as a double; files, editing and broadcast
// tools know that rate only as the exact fraction, so it is written as one.
// Any other rate is counted in thousandths of a frame.
#pragma once

extern "C" {
#include <libavutil/rational.h>
}

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>

// Below a tenth of a frame a second, or with no finite number, the host sent
// no usable rate: the output
// is written, and its audio sliced, at 24 fps.
constexpr double FALLBACK_FRAME_RATE = 24.0;
inline bool is_usable_frame_rate(double fps) { return fps >= 0.1 && std::isfinite(fps); }
inline double usable_frame_rate(double fps) { return is_usable_frame_rate(fps) ? fps : FALLBACK_FRAME_RATE; }

inline bool is_ntsc_rate(double fps, AVRational* exact = nullptr) {
    for (const int n : {24, 30, 48, 60, 120}) {
        if (std::abs(fps - n * 1000.0 / 1001.0) < 0.001) {
            if (exact) *exact = AVRational{n * 1000, 1001};
            return true;
        }
    }
    return false;
}

inline AVRational frame_rate_of(double fps) {
    AVRational exact;
    if (is_ntsc_rate(fps, &exact)) return exact;
    return AVRational{int32_t(std::min(fps * 1000.0, double(INT32_MAX))), 1000};
}

// The rate the audio of each frame is sliced at: the exact NTSC fraction, or
// the host's own number.
inline double slicing_fps(double fps) {
    AVRational exact;
    return is_ntsc_rate(fps, &exact) ? av_q2d(exact) : fps;
}

// The first of the host's samples that goes with `frame` at `slicingFps`: a
// frame's sound runs from its own first sample to the next frame's.
// Counted exactly while |sampleRate * frame / slicingFps| < 2^53 (the caller
// checks); a frame before the timeline's start has a sample before 0.
inline int64_t first_sample_of(double frame, double sampleRate, double slicingFps) {
    return int64_t(std::floor(sampleRate * frame / slicingFps + 0.5));
}
