#include "writer/loudness/loudness_meter.h"

#include <ebur128.h>

extern "C" {
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cmath>

namespace {

// Points of each curve at the most: a longer output's points each cover more.
constexpr size_t MAX_CURVE_POINTS = 4096;
constexpr size_t MAX_OVERS_KEPT = 200;

// Weights as FFmpeg's own meter gives them: the low-frequency channels are
// not counted, the surround ones (side, back, top back) weigh 1.41, every
// other channel 1.
int weighting_of(AVChannel channel) {
    switch (channel) {
    case AV_CHAN_LOW_FREQUENCY:
    case AV_CHAN_LOW_FREQUENCY_2:
        return EBUR128_UNUSED;
    case AV_CHAN_SIDE_LEFT:
    case AV_CHAN_SIDE_RIGHT:
    case AV_CHAN_BACK_LEFT:
    case AV_CHAN_BACK_CENTER:
    case AV_CHAN_BACK_RIGHT:
    case AV_CHAN_TOP_BACK_LEFT:
    case AV_CHAN_TOP_BACK_CENTER:
    case AV_CHAN_TOP_BACK_RIGHT:
    case AV_CHAN_SURROUND_DIRECT_LEFT:
    case AV_CHAN_SURROUND_DIRECT_RIGHT:
        return EBUR128_LEFT_SURROUND;
    default:
        return EBUR128_CENTER;
    }
}

double decibels(double linear) { return linear > 0 ? 20 * std::log10(linear) : -HUGE_VAL; }

// Samples of a packed format as floats in [-1, 1).
template <typename Sample>
void to_floats(const uint8_t* at, size_t stride, size_t count, double scale, double offset, float* out, size_t step) {
    for (size_t i = 0; i < count; ++i, at += stride, out += step)
        *out = float((double(*reinterpret_cast<const Sample*>(at)) - offset) * scale);
}

// `count` samples of one channel, `stride` bytes apart, into every `step`-th float of `out`.
void channel_to_floats(AVSampleFormat packed, const uint8_t* at, size_t stride, size_t count, float* out, size_t step) {
    switch (packed) {
    case AV_SAMPLE_FMT_U8: to_floats<uint8_t>(at, stride, count, 1.0 / 128, 128, out, step); break;
    case AV_SAMPLE_FMT_S16: to_floats<int16_t>(at, stride, count, 1.0 / 32768, 0, out, step); break;
    case AV_SAMPLE_FMT_S32: to_floats<int32_t>(at, stride, count, 1.0 / 2147483648.0, 0, out, step); break;
    case AV_SAMPLE_FMT_S64: to_floats<int64_t>(at, stride, count, 1.0 / 9223372036854775808.0, 0, out, step); break;
    case AV_SAMPLE_FMT_FLT:  // planar float, what AAC and Opus take: copied as it is
        for (size_t i = 0; i < count; ++i, at += stride) out[i * step] = *reinterpret_cast<const float*>(at);
        break;
    case AV_SAMPLE_FMT_DBL: to_floats<double>(at, stride, count, 1, 0, out, step); break;
    default:
        for (size_t i = 0; i < count; ++i) out[i * step] = 0;
        break;
    }
}

}  // namespace

struct LoudnessMeter::Library {
    ebur128_state* state = nullptr;
    SwrContext* upsampler = nullptr;
    ~Library() {
        if (state) ebur128_destroy(&state);  // it takes no null
        swr_free(&upsampler);
    }
};

std::unique_ptr<LoudnessMeter> LoudnessMeter::create(const AVChannelLayout& layout, int sampleRate,
                                                     AVSampleFormat format, double overAbove, std::string& why) {
    const int channels = layout.nb_channels;
    if (channels <= 0 || sampleRate <= 0) {
        why = "the sound has no channels or no rate";
        return nullptr;
    }
    std::unique_ptr<LoudnessMeter> meter(new LoudnessMeter);
    meter->m_library = std::make_unique<Library>();
    ebur128_state* state = meter->m_library->state =
        ebur128_init(unsigned(channels), static_cast<unsigned long>(sampleRate),
                     EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_SAMPLE_PEAK | EBUR128_MODE_HISTOGRAM);
    if (!state) {
        why = "the loudness meter cannot take this sound";
        return nullptr;
    }
    for (int c = 0; c < channels; ++c) {
        const AVChannel channel = av_channel_layout_channel_from_index(&layout, unsigned(c));
        char name[32];
        if (av_channel_name(name, sizeof name, channel) < 0) name[0] = '\0';
        meter->m_channels.emplace_back(name);
        if (ebur128_set_channel(state, unsigned(c), weighting_of(channel)) != EBUR128_SUCCESS) {
            why = "the loudness meter cannot take this channel layout";
            return nullptr;
        }
    }
    // At least 192 kHz, as ITU-R BS.1770-4 asks of a true-peak meter.
    const int factor = sampleRate >= 96000 ? 2 : 4;
    // FFmpeg 5.1 takes the layouts by pointers to non-const; it reads them only.
    AVChannelLayout* same = const_cast<AVChannelLayout*>(&layout);
    // A filter of 16 taps reads the true-peak cases of EBU Tech 3341 to 0.01 dB,
    // as the default 32 do, in three quarters of the time.
    if (swr_alloc_set_opts2(&meter->m_library->upsampler, same, AV_SAMPLE_FMT_FLT, sampleRate * factor, same, format,
                            sampleRate, 0, nullptr) < 0 ||
        av_opt_set_int(meter->m_library->upsampler, "filter_size", 16, 0) < 0 ||
        swr_init(meter->m_library->upsampler) < 0) {
        why = "the true-peak meter cannot take this sound";
        return nullptr;
    }
    meter->m_sampleRate = sampleRate;
    meter->m_overAbove = overAbove;
    meter->m_stepSamples = std::max(1, sampleRate / 10);
    meter->m_stepPeaks.assign(size_t(channels), 0.0);
    meter->m_truePeaks.assign(size_t(channels), 0.0);
    return meter;
}

LoudnessMeter::~LoudnessMeter() = default;

bool LoudnessMeter::add(const AVFrame& frame, int samples) {
    samples = std::min(samples, frame.nb_samples);
    for (int done = 0; done < samples;) {
        const int run = std::min(samples - done, m_stepSamples - m_inStep);
        if (!addRun(frame, done, run)) return false;
        done += run;
        m_inStep += run;
        m_samples += run;
        if (m_inStep == m_stepSamples) endStep();
    }
    return true;
}

// Formats the library reads as they are go to it directly; any other is
// read as floats into the scratch run, which holds at most one 100 ms step.
bool LoudnessMeter::addRun(const AVFrame& frame, int first, int count) {
    ebur128_state* state = m_library->state;
    const int channels = int(m_channels.size());
    const auto format = AVSampleFormat(frame.format);
    const size_t bytes = size_t(av_get_bytes_per_sample(format));
    const bool planar = av_sample_fmt_is_planar(format);
    if (planar && channels > AV_NUM_DATA_POINTERS) return false;
    const uint8_t* input[AV_NUM_DATA_POINTERS];
    for (int c = 0; c < (planar ? channels : 1); ++c)
        input[c] = frame.extended_data[c] + size_t(first) * bytes * size_t(planar ? 1 : channels);
    const size_t frames = size_t(count);
    int result;
    switch (format) {
    case AV_SAMPLE_FMT_S16:
        result = ebur128_add_frames_short(state, reinterpret_cast<const short*>(input[0]), frames);
        break;
    case AV_SAMPLE_FMT_S32:
        result = ebur128_add_frames_int(state, reinterpret_cast<const int*>(input[0]), frames);
        break;
    case AV_SAMPLE_FMT_FLT:
        result = ebur128_add_frames_float(state, reinterpret_cast<const float*>(input[0]), frames);
        break;
    case AV_SAMPLE_FMT_DBL:
        result = ebur128_add_frames_double(state, reinterpret_cast<const double*>(input[0]), frames);
        break;
    default: {
        m_scratch.resize(frames * size_t(channels));
        const AVSampleFormat packed = av_get_packed_sample_fmt(format);
        for (int c = 0; c < channels; ++c)
            channel_to_floats(packed, planar ? input[c] : input[0] + size_t(c) * bytes,
                              planar ? bytes : bytes * size_t(channels), frames, m_scratch.data() + c,
                              size_t(channels));
        result = ebur128_add_frames_float(state, m_scratch.data(), frames);
        break;
    }
    }
    return result == EBUR128_SUCCESS && findPeaks(input, count);
}

// The run resampled, and each channel's highest sample there; null input
// takes in what the resampler still holds.
bool LoudnessMeter::findPeaks(const uint8_t** input, int count) {
    SwrContext* upsampler = m_library->upsampler;
    const size_t channels = m_channels.size();
    const int room = swr_get_out_samples(upsampler, count);
    if (room < 0) return false;
    m_upsampled.resize(size_t(room) * channels + channels);
    uint8_t* output[1] = {reinterpret_cast<uint8_t*>(m_upsampled.data())};
    const int got = swr_convert(upsampler, output, room, input, count);
    if (got < 0) return false;
    for (size_t c = 0; c < channels; ++c) {
        float peak = 0;
        const float* at = m_upsampled.data() + c;
        for (size_t i = 0; i < size_t(got); ++i, at += channels) peak = std::max(peak, std::fabs(*at));
        m_stepPeaks[c] = std::max(m_stepPeaks[c], double(peak));
    }
    return true;
}

// Every 100 ms, as the meters of EBU Tech 3341 update. The library gives
// the step's own loudness; momentary and short-term loudness are the mean
// energy of the last 4 and 30 steps (asking the library for each would sum
// 3 s of sound ten times a second).
void LoudnessMeter::endStep() {
    double step = -HUGE_VAL;
    ebur128_loudness_window(m_library->state, 100, &step);
    const double energy = std::isfinite(step) ? std::pow(10.0, (step + 0.691) / 10.0) : 0.0;
    m_stepEnergies[m_stepCount % m_stepEnergies.size()] = energy;
    ++m_stepCount;
    double last4 = 0, last30 = 0;
    for (size_t i = 0; i < m_stepEnergies.size(); ++i) {
        const double e = m_stepEnergies[(m_stepCount + m_stepEnergies.size() - 1 - i) % m_stepEnergies.size()];
        if (i < 4) last4 += e;
        last30 += e;
    }
    const auto loudness = [](double meanEnergy) { return meanEnergy > 0 ? -0.691 + 10 * std::log10(meanEnergy) : -HUGE_VAL; };
    const double momentary = loudness(last4 / 4), shortTerm = loudness(last30 / 30);
    m_momentaryMax = std::max(m_momentaryMax, momentary);
    m_shortTermMax = std::max(m_shortTermMax, shortTerm);
    keepPoint(float(momentary), float(shortTerm));
    const double stepStart = double(m_samples - m_stepSamples) / m_sampleRate;
    for (size_t c = 0; c < m_stepPeaks.size(); ++c) {
        const double level = decibels(m_stepPeaks[c]);
        if (level > m_overAbove) {
            ++m_overCount;
            if (m_overs.size() < MAX_OVERS_KEPT) m_overs.push_back({stepStart, int(c), level});
        }
        m_truePeaks[c] = std::max(m_truePeaks[c], m_stepPeaks[c]);
        m_stepPeaks[c] = 0;
    }
    m_inStep = 0;
}

void LoudnessMeter::keepPoint(float momentary, float shortTerm) {
    m_pointMomentary = std::max(m_pointMomentary, momentary);
    m_pointShortTerm = std::max(m_pointShortTerm, shortTerm);
    if (++m_stepsInPoint < m_stepsPerPoint) return;
    m_curve.momentary.push_back(m_pointMomentary);
    m_curve.shortTerm.push_back(m_pointShortTerm);
    m_stepsInPoint = 0;
    m_pointMomentary = m_pointShortTerm = -HUGE_VALF;
    if (m_curve.momentary.size() < MAX_CURVE_POINTS) return;
    // Full: every two points become one of twice the length.
    for (std::vector<float>* points : {&m_curve.momentary, &m_curve.shortTerm}) {
        for (size_t i = 0; i < points->size() / 2; ++i) (*points)[i] = std::max((*points)[2 * i], (*points)[2 * i + 1]);
        points->resize(points->size() / 2);
    }
    m_stepsPerPoint *= 2;
    m_curve.step *= 2;
}

LoudnessFigures LoudnessMeter::figures() {
    ebur128_state* state = m_library->state;
    findPeaks(nullptr, 0);
    for (size_t c = 0; c < m_truePeaks.size(); ++c) m_truePeaks[c] = std::max(m_truePeaks[c], m_stepPeaks[c]);
    LoudnessFigures f{};
    f.integrated = f.range = 0;
    if (ebur128_loudness_global(state, &f.integrated) != EBUR128_SUCCESS) f.integrated = -HUGE_VAL;
    if (ebur128_loudness_range(state, &f.range) != EBUR128_SUCCESS) f.range = 0;
    f.momentaryMax = m_momentaryMax;
    f.shortTermMax = m_shortTermMax;
    f.truePeak = f.samplePeak = -HUGE_VAL;
    f.channels = m_channels;
    for (size_t c = 0; c < m_channels.size(); ++c) {
        double samplePeak = 0;
        ebur128_sample_peak(state, unsigned(c), &samplePeak);
        // A true peak is never below the samples' own.
        f.channelTruePeaks.push_back(decibels(std::max(m_truePeaks[c], samplePeak)));
        f.channelSamplePeaks.push_back(decibels(samplePeak));
        f.truePeak = std::max(f.truePeak, f.channelTruePeaks.back());
        f.samplePeak = std::max(f.samplePeak, f.channelSamplePeaks.back());
    }
    f.seconds = double(m_samples) / m_sampleRate;
    f.curve = m_curve;
    f.overs = m_overs;
    f.overCount = m_overCount;
    return f;
}
