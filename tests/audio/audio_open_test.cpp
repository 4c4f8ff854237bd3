// Opening outputs with audio: which rate and layout the encoder gets, and the
// messages of what cannot be opened.
#include "audio_kit.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

RenderJob shortJob(const char* container, const char* audioCodec, AVSampleFormat outFormat) {
    RenderJob job = job_for(container, audioCodec, outFormat);
    job.frames = 30;
    return job;
}

struct Opened {
    const char* container;
    const char* codec;
    AVSampleFormat format;
    int hostRate;
    int hostChannels;
    bool stereo;
    int expectedRate;
    int decodedSlack;  // the decoder gives the last frame whole
};
void PrintTo(const Opened& c, std::ostream* out) { *out << c.codec << "_" << c.hostRate << "_" << c.hostChannels; }

class AudioOpened : public testing::TestWithParam<Opened> {};

TEST_P(AudioOpened, EncoderGetsTheNearestRateAndEveryHostChannelMixedIntoTwo) {
    const Opened& c = GetParam();
    clear_messages();
    RenderJob job = shortJob(c.container, c.codec, c.format);
    job.host.rate = c.hostRate;
    job.host.channels = c.hostChannels;
    job.host.amplitude = c.hostChannels > 2 ? 0.15 : 0.5;
    job.stereo = c.stereo;
    const RenderResult result = render(job, outputPath(std::string("opened_") + c.codec + std::to_string(c.hostRate) +
                                                           "_" + std::to_string(c.hostChannels), c.container));
    ASSERT_TRUE(result.opened) << last_message();
    EXPECT_TRUE(result.allWritten);
    EXPECT_EQ(result.outSampleRate, c.expectedRate);
    const bool changed = c.expectedRate != c.hostRate;
    EXPECT_EQ(count_logged("Requested sampling rate", LOG_WARNING), changed ? 1 : 0);
    EXPECT_EQ(logged("QelFFmpegWriter: Requested sampling rate (" + std::to_string(c.hostRate) +
                         "Hz) unsupported, using " + std::to_string(c.expectedRate) + "Hz instead.", LOG_WARNING),
              changed);

    const probe::File file = probe::read(result.path);
    ASSERT_TRUE(file.opened) << file.error_text();
    EXPECT_EQ(file.sample_rate, c.expectedRate);
    ASSERT_EQ(file.samples.size(), 2u);
    // Resampled, so counted at the new rate; the resampler's last samples are in too.
    const double expected = double(result.samplesSent) * c.expectedRate / c.hostRate;
    EXPECT_GE(double(file.audio_samples), expected - (changed ? 2 : 0));
    EXPECT_LE(double(file.audio_samples), expected + c.decodedSlack);
    const auto amplitude = [&](int fileChannel, int host) {
        return toneAmplitude(file.samples[size_t(fileChannel)], job.host.frequency(host), file.sample_rate);
    };
    if (c.hostChannels == 2) {
        EXPECT_LT(std::abs(file.audio_seconds() - file.video_seconds), 1.0 / job.fps);
        for (int channel = 0; channel < 2; ++channel)
            EXPECT_GT(toneCorrelation(file.samples[size_t(channel)], job.host.frequency(channel), c.expectedRate), 0.98);
    }
    // The LFE slot's tone is in too; left and right stay apart.
    for (int host = 0; host < c.hostChannels; ++host)
        EXPECT_GT(std::max(amplitude(0, host), amplitude(1, host)), 0.1 * job.host.amplitude) << "host " << host;
    EXPECT_GT(amplitude(0, 0), 10 * amplitude(1, 0));
    EXPECT_GT(amplitude(1, 1), 10 * amplitude(0, 1));
}

// 46050 Hz lies 1950 Hz from both 44100 and 48000: each encoder's own order
// decides; one that takes any rate gets the host's. With "Stereo" on, encoders
// that refuse the downmix layout (aac, ac3) and one that takes it (flac) get
// all six tones in two channels; mp2 without "Stereo" declares only mono and
// stereo, so four channels go to its widest.
INSTANTIATE_TEST_SUITE_P(, AudioOpened, testing::Values(
    Opened{"webm", "libopus", AV_SAMPLE_FMT_S16, 44100, 2, false, 48000, 2},
    Opened{"mov", "libmp3lame", AV_SAMPLE_FMT_S16P, 46050, 2, false, 44100, 1152},
    Opened{"mov", "aac", AV_SAMPLE_FMT_FLTP, 46050, 2, false, 48000, 1024},
    Opened{"mov", "pcm_s16le", AV_SAMPLE_FMT_S16, 44099, 2, false, 44099, 0},
    Opened{"mp4", "aac", AV_SAMPLE_FMT_FLTP, 48000, 6, true, 48000, 1024},
    Opened{"matroska", "ac3", AV_SAMPLE_FMT_FLTP, 48000, 6, true, 48000, 256 + 1536},
    Opened{"matroska", "flac", AV_SAMPLE_FMT_S16, 48000, 6, true, 48000, 0},
    Opened{"matroska", "mp2", AV_SAMPLE_FMT_S16, 48000, 4, false, 48000, 1152 + 481}));

TEST(AudioOpen, WhatTheEncoderOrResamplerCannotTakeFailsSayingWhy) {
    // aac takes no packed 16-bit samples. Nine host channels have no named
    // layout in any FFmpeg we build against (ten became 5.1.4 in 7.1); alac
    // takes at most eight, and nothing says how to mix nine unnamed channels
    // into 7.1.
    struct Case {
        const char* container;
        const char* codec;
        AVSampleFormat format;
        int channels;
        std::vector<std::pair<std::string, int32_t>> messages;  // beginnings of messages, at their level
    };
    for (const Case& c :
         {Case{"mp4", "aac", AV_SAMPLE_FMT_S16, 2,
               {{"QelFFmpegWriter: audio encoder does not support sample format: s16", LOG_ERROR}}},
          Case{"mov", "alac", AV_SAMPLE_FMT_S16P, 9,
               {{"QelFFmpegWriter: Failed to initialize audio conversion context. ", LOG_ERROR},
                {"Can't convert audio from s16 to s16p", LOG_PLAIN}}}}) {
        clear_messages();
        RenderJob job = shortJob(c.container, c.codec, c.format);
        job.host.channels = c.channels;
        EXPECT_FALSE(render(job, outputPath(std::string("refused_") + c.codec, c.container)).opened) << c.codec;
        for (const auto& [text, level] : c.messages) EXPECT_EQ(count_logged(text, level), 1) << text;
    }
}

TEST(AudioOpen, WithoutAnAudioStreamSoundAndDrainFailSilently) {
    // An encoder this FFmpeg does not have gives a file without sound; so
    // does no encoder; a closed writer has no stream at all.
    FFWriter closed;
    closed.m_logCallback = keep_message;
    EXPECT_FALSE(closed.writeAudio(nullptr, 0));
    for (const char* codec : {"no_such_encoder", ""}) {
        SCOPED_TRACE(codec);
        clear_messages();
        RenderJob job = shortJob("mov", codec, AV_SAMPLE_FMT_S16);
        FFWriter writer;
        writer.m_logCallback = keep_message;
        WriterSettings settings = settingsFor(job);
        ASSERT_TRUE(writer.open(outputPath(std::string("without_audio") + codec, "mov").c_str(), &settings));
        EXPECT_FALSE(writer.hasAudio());
        const std::vector<uint8_t> block = job.host.block(0, 1601);
        EXPECT_FALSE(writer.writeAudio(block.data(), int64_t(block.size())));
        EXPECT_FALSE(writer.writeAudio(nullptr, 0));
        EXPECT_TRUE(messages_at_least(LOG_WARNING).empty());
    }
}

}  // namespace
