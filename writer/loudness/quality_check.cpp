#include "writer/loudness/quality_check.h"

#include <cmath>
#include <cstdio>

namespace {

// Where a delivery names no ceiling, the common one marks the overs.
constexpr double DEFAULT_TRUE_PEAK_CEILING = -1.0;
constexpr size_t MAX_KEY_FRAMES_KEPT = 100000;

std::string level(double value, const char* unit) {
    if (!std::isfinite(value)) return std::string("silence");
    char text[48];
    std::snprintf(text, sizeof text, "%.1f %s", value, unit);
    return text;
}

// "integrated loudness -20.0 LUFS, 2.5 LU above the -22.5 LUFS allowed"
std::string beyond(const char* figure, double value, double limit, const char* unit, const char* difference,
                   bool above) {
    char text[160];
    if (!std::isfinite(value))
        std::snprintf(text, sizeof text, "%s: silence, below the %.1f %s allowed", figure, limit, unit);
    else
        std::snprintf(text, sizeof text, "%s %.1f %s, %.1f %s %s the %.1f %s allowed", figure, value, unit,
                      std::fabs(value - limit), difference, above ? "above" : "below", limit, unit);
    return text;
}

}  // namespace

std::string loudness_misses(const LoudnessTarget& target, const LoudnessFigures& f) {
    if (std::isnan(target.integrated)) return {};
    std::vector<std::string> misses;
    const double lowest = target.integrated - target.tolerance, highest = target.integrated + target.tolerance;
    if (!(f.integrated >= lowest))
        misses.push_back(beyond("integrated loudness", f.integrated, lowest, "LUFS", "LU", false));
    else if (f.integrated > highest)
        misses.push_back(beyond("integrated loudness", f.integrated, highest, "LUFS", "LU", true));
    if (f.truePeak > target.maxTruePeak)
        misses.push_back(beyond("true peak", f.truePeak, target.maxTruePeak, "dBTP", "dB", true));
    if (!std::isnan(target.maxShortTerm) && f.shortTermMax > target.maxShortTerm)
        misses.push_back(beyond("maximum short-term loudness", f.shortTermMax, target.maxShortTerm, "LUFS", "LU", true));
    std::string sentence;
    for (const std::string& miss : misses) sentence += (sentence.empty() ? "" : "; ") + miss;
    return sentence;
}

QualityCheck::QualityCheck(int targetIndex, std::string timecode, double fps)
    : m_target(loudness_target(targetIndex)), m_timecode(std::move(timecode)), m_fps(fps) {}

void QualityCheck::measureSound(const AVChannelLayout& layout, int sampleRate, AVSampleFormat format, LogSink log) {
    std::string why;
    const double ceiling = std::isnan(m_target.integrated) ? DEFAULT_TRUE_PEAK_CEILING : m_target.maxTruePeak;
    m_meter = LoudnessMeter::create(layout, sampleRate, format, ceiling, why);
    if (!m_meter) log_to(log, LOG_WARNING, "QelFFmpegWriter: the sound's loudness is not measured: %s", why.c_str());
}

void QualityCheck::addSound(const AVFrame& frame, int samples) {
    if (!m_meter || m_meterFailed) return;
    m_meterFailed = !m_meter->add(frame, samples);
}

void QualityCheck::addVideoPacket(double seconds, int64_t bytes, bool key) {
    if (!(seconds >= 0) || seconds > 1e7) return;
    const size_t second = size_t(seconds);
    if (m_video.bytesPerSecond.size() <= second) m_video.bytesPerSecond.resize(second + 1, 0);
    m_video.bytesPerSecond[second] += bytes;
    if (!key) return;
    ++m_video.keyFrameCount;
    if (m_video.keyFrames.size() < MAX_KEY_FRAMES_KEPT) m_video.keyFrames.push_back(seconds);
}

void QualityCheck::finish() {
    if (m_meter && !m_meterFailed && !m_figures) m_figures = m_meter->figures();
}

void QualityCheck::tell(const char* movie, LogSink log) const {
    const std::optional<LoudnessFigures> f = figures();
    if (!f) return;
    std::string peaks;
    for (size_t c = 0; c < f->channels.size(); ++c)
        peaks += (c ? ", " : "") + f->channels[c] + " " + level(f->channelTruePeaks[c], "dBTP");
    log_to(log, LOG_INFO,
           "QelFFmpegWriter: loudness of <%s>: integrated %s, range %.1f LU, momentary max %s, short-term max %s, "
           "true peak %s (%s), sample peak %s",
           movie, level(f->integrated, "LUFS").c_str(), f->range, level(f->momentaryMax, "LUFS").c_str(),
           level(f->shortTermMax, "LUFS").c_str(), level(f->truePeak, "dBTP").c_str(), peaks.c_str(),
           level(f->samplePeak, "dBFS").c_str());
    const std::string misses = loudness_misses(m_target, *f);
    if (!misses.empty())
        log_to(log, LOG_WARNING, "QelFFmpegWriter: <%s> misses %s: %s", movie, m_target.label, misses.c_str());
}
