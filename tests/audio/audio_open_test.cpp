// Opening outputs with audio: which rate, layout and format the encoder gets,
// and the messages of what cannot be opened.
#include "audio_helpers.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

RenderJob shortJob(const char* container, const char* extension, const char* audioCodec, AVSampleFormat outFormat) {
    RenderJob job;
    job.container = container;
    job.extension = extension;
    job.audioCodec = audioCodec;
    job.outFormat = outFormat;
    job.frames = 30;
    return job;
}

struct OpenedWriter {
    FFWriter writer;
    WriterSettings settings;
    bool opened = false;
    OpenedWriter(const RenderJob& job, const std::string& name) {
        writer.m_logCallback = keep_message;
        settings = settingsFor(job);
        const std::string path = outputPath(name, job.extension);
        opened = writer.open(path.c_str(), &settings);
    }
};

TEST(AudioOpen, HostRateTheEncoderLacksBecomesTheNearestWithAWarning) {
    clear_messages();
    RenderJob job = shortJob("webm", "webm", "libopus", AV_SAMPLE_FMT_S16);
    job.videoCodec = "libvpx";
    job.host.rate = 44100;
    const std::string path = outputPath("rate_44100_opus", "webm");
    const RenderResult result = render(job, path);
    ASSERT_TRUE(result.opened);
    EXPECT_TRUE(result.allWritten);
    EXPECT_EQ(result.outSampleRate, 48000.0);
    EXPECT_TRUE(logged("QelFFmpegWriter: Requested sampling rate (44100Hz) unsupported, using 48000Hz instead.",
                       LOG_WARNING));

    const probe::File file = probe::read(path);
    ASSERT_TRUE(file.opened) << file.error_text();
    EXPECT_EQ(file.sample_rate, 48000);
    // Resampled, so counted at the new rate; the resampler's last samples are in too.
    const double expected = double(result.samplesSent) * 48000.0 / 44100.0;
    EXPECT_NEAR(double(file.audio_samples), expected, 2.0);
    EXPECT_LT(std::abs(file.audio_seconds() - file.video_seconds), 1.0 / job.fps);
    for (int channel = 0; channel < 2; ++channel)
        EXPECT_GT(toneCorrelation(file.samples[size_t(channel)], job.host.frequency(channel), 48000), 0.98);
}

TEST(AudioOpen, RatesTheEncoderLacksBecomeTheNearestAndOthersAreKeptWhole) {
    // 46050 Hz lies 1950 Hz from both 44100 and 48000: each encoder's own
    // order decides. An encoder that takes any rate gets the host's, truncated.
    struct Case {
        const char* codec;
        AVSampleFormat format;
        double hostRate;
        int expected;
    };
    for (const Case& c : {Case{"libmp3lame", AV_SAMPLE_FMT_S16P, 46050, 44100}, Case{"aac", AV_SAMPLE_FMT_FLTP, 46050, 48000},
                          Case{"pcm_s16le", AV_SAMPLE_FMT_S16, 44099, 44099}}) {
        clear_messages();
        RenderJob job = shortJob("mov", "mov", c.codec, c.format);
        job.inRate = c.hostRate;
        OpenedWriter opened(job, std::string("rate_") + c.codec);
        ASSERT_TRUE(opened.opened) << c.codec;
        EXPECT_EQ(opened.writer.outSampleRate(), c.expected) << c.codec;
        EXPECT_EQ(opened.writer.audioCodecContext()->sample_rate, c.expected) << c.codec;
        const std::string warning = "QelFFmpegWriter: Requested sampling rate (46050Hz) unsupported, using " +
                                    std::to_string(c.expected) + "Hz instead.";
        EXPECT_EQ(count_logged("Requested sampling rate", LOG_WARNING), c.hostRate == 46050 ? 1 : 0) << c.codec;
        EXPECT_EQ(logged(warning, LOG_WARNING), c.hostRate == 46050) << c.codec;
    }
}

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
        RenderJob job = shortJob(c.container, c.container, c.codec, c.format);
        job.host.channels = c.channels;
        OpenedWriter opened(job, std::string("refused_") + c.codec);
        EXPECT_FALSE(opened.opened) << c.codec;
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
        clear_messages();
        RenderJob job = shortJob("mov", "mov", codec, AV_SAMPLE_FMT_S16);
        OpenedWriter opened(job, std::string("without_audio") + codec);
        ASSERT_TRUE(opened.opened) << codec;
        EXPECT_FALSE(opened.writer.hasAudio());
        const std::vector<uint8_t> block = job.host.block(0, 1601);
        EXPECT_FALSE(opened.writer.writeAudio(block.data(), int64_t(block.size())));
        EXPECT_FALSE(opened.writer.writeAudio(nullptr, 0));
        for (const LoggedMessage& message : kept_messages()) EXPECT_LT(message.level, LOG_WARNING) << message.text;
    }
}

TEST(AudioOpen, MoreHostChannelsThanTwoAreMixedIntoTwo) {
    // Host channels each carry their own tone. With "Stereo" on, encoders that
    // refuse the downmix layout (aac, ac3) and ones that take it (flac) give two
    // channels holding all six tones, the LFE slot's included; mp2 without
    // "Stereo" declares only mono and stereo, so four channels go to its widest.
    struct Case {
        const char* container;
        const char* extension;
        const char* codec;
        AVSampleFormat format;
        int hostChannels;
        bool stereo;
    };
    for (const Case& c : {Case{"mp4", "mp4", "aac", AV_SAMPLE_FMT_FLTP, 6, true},
                          Case{"matroska", "mkv", "ac3", AV_SAMPLE_FMT_FLTP, 6, true},
                          Case{"matroska", "mkv", "flac", AV_SAMPLE_FMT_S16, 6, true},
                          Case{"matroska", "mkv", "mp2", AV_SAMPLE_FMT_S16, 4, false}}) {
        clear_messages();
        RenderJob job = shortJob(c.container, c.extension, c.codec, c.format);
        job.host.channels = c.hostChannels;
        job.host.amplitude = 0.15;
        job.stereo = c.stereo;
        const std::string path = outputPath(std::string("mixed_") + c.codec, c.extension);
        const RenderResult result = render(job, path);
        ASSERT_TRUE(result.opened) << c.codec << ": " << last_message();
        EXPECT_TRUE(result.allWritten);

        const probe::File file = probe::read(path);
        ASSERT_TRUE(file.opened) << file.error_text();
        ASSERT_EQ(file.samples.size(), 2u) << c.codec;
        EXPECT_GE(file.audio_samples, result.samplesSent) << c.codec;
        for (int host = 0; host < c.hostChannels; ++host) {
            const double frequency = job.host.frequency(host);
            const double strongest = std::max(toneAmplitude(file.samples[0], frequency, file.sample_rate),
                                              toneAmplitude(file.samples[1], frequency, file.sample_rate));
            EXPECT_GT(strongest, 0.1 * job.host.amplitude) << c.codec << ": host channel " << host;
        }
        // Left and right stay apart: host channel 0 is mostly on the left, 1 on the right.
        EXPECT_GT(toneAmplitude(file.samples[0], job.host.frequency(0), file.sample_rate),
                  10 * toneAmplitude(file.samples[1], job.host.frequency(0), file.sample_rate));
        EXPECT_GT(toneAmplitude(file.samples[1], job.host.frequency(1), file.sample_rate),
                  10 * toneAmplitude(file.samples[0], job.host.frequency(1), file.sample_rate));
    }
}

TEST(AudioOpen, EachHostChannelArrivesOnItsOwnChannel) {
    // Two host channels with "Stereo" on, through every stereo encoder; and
    // ten planar channels, more planes than the usual eight pointers.
    struct Case {
        const char* container;
        const char* extension;
        const char* codec;
        AVSampleFormat format;
        int channels;
    };
    for (const Case& c : {Case{"mp4", "mp4", "aac", AV_SAMPLE_FMT_FLTP, 2}, Case{"mov", "mov", "libmp3lame", AV_SAMPLE_FMT_FLTP, 2},
                          Case{"webm", "webm", "libopus", AV_SAMPLE_FMT_FLT, 2}, Case{"mov", "mov", "alac", AV_SAMPLE_FMT_S16P, 2},
                          Case{"matroska", "mkv", "mp2", AV_SAMPLE_FMT_S16, 2}, Case{"mov", "mov", "pcm_s16le", AV_SAMPLE_FMT_S16, 2},
                          Case{"matroska", "mkv", "libvorbis", AV_SAMPLE_FMT_FLTP, 10}}) {
        clear_messages();
        RenderJob job = shortJob(c.container, c.extension, c.codec, c.format);
        if (job.container == "webm") job.videoCodec = "libvpx";
        job.host.channels = c.channels;
        job.host.amplitude = c.channels > 2 ? 0.2 : 0.5;
        job.stereo = c.channels == 2;
        const std::string path = outputPath(std::string("channels_") + c.codec, c.extension);
        const RenderResult result = render(job, path);
        ASSERT_TRUE(result.opened) << c.codec << ": " << last_message();
        EXPECT_TRUE(result.allWritten) << c.codec;
        const probe::File file = probe::read(path);
        ASSERT_TRUE(file.opened) << file.error_text();
        ASSERT_EQ(file.samples.size(), size_t(c.channels)) << c.codec;
        for (int channel = 0; channel < c.channels; ++channel)
            EXPECT_GT(toneCorrelation(file.samples[size_t(channel)], job.host.frequency(channel), file.sample_rate),
                      c.channels > 2 ? 0.95 : 0.98)
                << c.codec << " channel " << channel;
    }
}

}  // namespace
