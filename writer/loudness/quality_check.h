// What an output's check sees as it is written -- its sound's loudness and
// peaks, its pictures' bit rate each second and their key frames -- and
// what it says at the end: the figures in the host's log, the one sentence
// of a missed delivery target, the report beside the movie.
#pragma once

#include "writer/loudness/loudness_meter.h"

#include "base/log.h"
#include "catalogue/loudness_targets.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The pictures' coded size each second of the output and where the key
// frames fall.
struct VideoRate {
    std::vector<int64_t> bytesPerSecond;
    std::vector<double> keyFrames;  // seconds; the first ones
    int64_t keyFrameCount = 0;
};

// What a missed target says: one sentence, empty when the sound meets it.
std::string loudness_misses(const LoudnessTarget& target, const LoudnessFigures& figures);

class QualityCheck {
public:
    QualityCheck(int targetIndex, std::string timecode, double fps);

    const LoudnessTarget& target() const { return m_target; }
    // The sound as its encoder takes it; false (with a warning) when it
    // cannot be measured: the render goes on unmeasured.
    void measureSound(const AVChannelLayout& layout, int sampleRate, AVSampleFormat format, LogSink log);
    void addSound(const AVFrame& frame, int samples);
    void addVideoPacket(double seconds, int64_t bytes, bool key);

    bool measured() const { return m_meter != nullptr; }
    // The sound has all been given: the meter takes in what it still holds.
    void finish();
    // Once finished; none for sound not measured.
    const std::optional<LoudnessFigures>& figures() const { return m_figures; }
    const VideoRate& videoRate() const { return m_video; }
    const std::string& timecode() const { return m_timecode; }
    double fps() const { return m_fps; }

    // The figures at level 2 and, when the target is missed, one sentence at
    // level 3; `movie` names the output.
    void tell(const char* movie, LogSink log) const;

private:
    const LoudnessTarget& m_target;
    std::string m_timecode;
    double m_fps;
    std::unique_ptr<LoudnessMeter> m_meter;
    bool m_meterFailed = false;
    std::optional<LoudnessFigures> m_figures;
    VideoRate m_video;
};
