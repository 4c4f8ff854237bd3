// The sound each output's encoder is given, measured as it is given:
// loudness (ITU-R BS.1770-4, EBU Tech 3341 and 3342) and the sample peak by
// libebur128 in its histogram mode, so that its memory stays the same however
// long the render; the true peak on the sound resampled to four times its
// rate by libswresample, as FFmpeg's own meter finds it (libebur128's shorter
// filter reads a steady 6 kHz sine 0.6 dB high, and costs more); and the
// curves of momentary and short-term loudness for the report, kept at a
// bounded number of points.
#pragma once

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
}

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Momentary and short-term loudness along the output, each point the
// loudest of its `step` seconds (LUFS; -inf where it is silent).
struct LoudnessCurve {
    double step = 0.1;
    std::vector<float> momentary;
    std::vector<float> shortTerm;
};

// A stretch of 100 ms whose true peak passed the level the meter watches.
struct TruePeakOver {
    double seconds;  // from the output's start
    int channel;
    double level;  // dBTP
};

struct LoudnessFigures {
    double integrated;    // LUFS; -inf for silence
    double range;         // LU
    double momentaryMax;  // LUFS
    double shortTermMax;  // LUFS
    double truePeak;      // dBTP, the loudest channel's
    double samplePeak;    // dBFS
    std::vector<std::string> channels;  // FFmpeg's names, "FL", "LFE", ...
    std::vector<double> channelTruePeaks, channelSamplePeaks;
    double seconds;  // of sound measured
    LoudnessCurve curve;
    std::vector<TruePeakOver> overs;  // the first ones, in order
    int64_t overCount;                // all of them
};

class LoudnessMeter {
public:
    // Nothing, with `why`, when the library cannot meter this sound.
    // Stretches whose true peak passes `overAbove` dBTP are kept as overs.
    static std::unique_ptr<LoudnessMeter> create(const AVChannelLayout& layout, int sampleRate, AVSampleFormat format,
                                                 double overAbove, std::string& why);
    ~LoudnessMeter();
    LoudnessMeter(const LoudnessMeter&) = delete;
    LoudnessMeter& operator=(const LoudnessMeter&) = delete;

    // The first `samples` of a frame the encoder is given, in any of
    // FFmpeg's sample formats. False when the library fails.
    bool add(const AVFrame& frame, int samples);
    // What the sound measured, the resampler's last samples taken in first.
    LoudnessFigures figures();

private:
    LoudnessMeter() = default;
    bool addRun(const AVFrame& frame, int first, int count);
    bool findPeaks(const uint8_t** input, int count);
    void endStep();
    void keepPoint(float momentary, float shortTerm);

    // libebur128's state, which its header names only by a typedef.
    struct Library;
    std::unique_ptr<Library> m_library;
    std::vector<std::string> m_channels;
    int m_sampleRate = 0;
    double m_overAbove = 0;
    int64_t m_samples = 0;
    int m_stepSamples = 0;  // 100 ms
    int m_inStep = 0;
    // The energy of each of the last 30 steps (3 s), the oldest overwritten.
    std::vector<double> m_stepEnergies = std::vector<double>(30, 0.0);
    size_t m_stepCount = 0;
    std::vector<double> m_stepPeaks;  // each channel's true peak in the step so far (linear)
    std::vector<double> m_truePeaks;  // and in all the sound
    std::vector<float> m_scratch;     // a run as interleaved floats, for formats the library does not take
    std::vector<float> m_upsampled;   // a run at four times the rate
    double m_momentaryMax = -HUGE_VAL;
    double m_shortTermMax = -HUGE_VAL;
    LoudnessCurve m_curve;
    int m_stepsPerPoint = 1;
    int m_stepsInPoint = 0;
    float m_pointMomentary = -HUGE_VALF;
    float m_pointShortTerm = -HUGE_VALF;
    std::vector<TruePeakOver> m_overs;
    int64_t m_overCount = 0;
};
