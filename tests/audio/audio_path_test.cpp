// The sample path between open and close: how blocks become encoder frames,
// the tail at close, and what happens after a failure.
#include "audio_kit.h"

#include <gtest/gtest.h>

namespace {

// mov and mp4 keep where the audio ends to the millisecond (their edit list);
// 48 samples at 48 kHz.
constexpr double MILLISECOND = 48;

class AudioPath : public testing::Test {
protected:
    void SetUp() override { clear_messages(); }

    bool open(const RenderJob& job, const std::string& name) {
        m_job = job;
        m_sent = 0;
        m_writer.m_logCallback = keep_message;
        m_path = outputPath(name, job.extension);
        WriterSettings settings = settingsFor(job);
        return m_writer.open(m_path.c_str(), &settings);
    }
    bool write(int64_t count) {
        const std::vector<uint8_t> block = m_job.host.block(m_sent, count);
        m_sent += count;
        return m_writer.writeAudio(block.data(), int64_t(block.size()));
    }

    RenderJob m_job;
    FFWriter m_writer;
    std::string m_path;
    int64_t m_sent = 0;
};

RenderJob jobFor(const char* container, const char* extension, const char* codec, AVSampleFormat format) {
    RenderJob job;
    job.container = container;
    job.extension = extension;
    job.audioCodec = codec;
    job.outFormat = format;
    job.videoCodec = "";
    return job;
}

TEST_F(AudioPath, BlocksBecomeWholeEncoderFramesAndTheRestWaits) {
    // aac takes 1024 samples a frame and keeps the rest for the next block;
    // pcm has no frame size and takes each block whole. What is kept at the
    // end goes out as a short last frame: the decoder gives it whole, the
    // container's timestamps say where it ends.
    struct Case {
        const char* container;
        const char* codec;
        AVSampleFormat format;
        int frameSize;
        std::vector<std::pair<int64_t, int64_t>> writes;  // block, samples encoded after it
    };
    for (const Case& c : {Case{"mp4", "aac", AV_SAMPLE_FMT_FLTP, 1024, {{500, 0}, {1101, 1024}, {1602, 3072}}},
                          Case{"mov", "pcm_s16le", AV_SAMPLE_FMT_S16, 0, {{1601, 1601}, {1602, 3203}, {7, 3210}}}}) {
        ASSERT_TRUE(open(jobFor(c.container, c.container, c.codec, c.format), std::string("chunks_") + c.codec));
        ASSERT_EQ(m_writer.audioCodecContext()->frame_size, c.frameSize);
        for (const auto& [block, encoded] : c.writes) {
            EXPECT_TRUE(write(block));
            EXPECT_EQ(m_writer.audioSampleCount(), encoded) << c.codec << " after " << block;
        }
        EXPECT_TRUE(m_writer.close());
        const probe::File file = probe::read(m_path);
        ASSERT_TRUE(file.opened) << file.error_text();
        EXPECT_NEAR(double(file.audio_end_samples), double(m_sent), MILLISECOND) << c.codec;
        EXPECT_GE(file.audio_samples, m_sent) << c.codec;
        EXPECT_LE(file.audio_samples, m_sent + c.frameSize) << c.codec;
    }
}

TEST_F(AudioPath, TailShorterThanOneFrameReachesTheFile) {
    // Encoders that take a short last frame end exactly at the samples sent
    // (aac's decoder still gives its last frame whole); ac3 takes only whole
    // frames and gets the rest as silence.
    struct Case {
        const char* container;
        const char* extension;
        const char* codec;
        AVSampleFormat format;
        int decodedSlack;
        bool exactEnd;
    };
    for (const Case& c : {Case{"mp4", "mp4", "aac", AV_SAMPLE_FMT_FLTP, 1024, true},
                          Case{"matroska", "mkv", "flac", AV_SAMPLE_FMT_S16, 0, true},
                          Case{"mov", "mov", "alac", AV_SAMPLE_FMT_S16P, 0, true},
                          Case{"matroska", "mkv", "ac3", AV_SAMPLE_FMT_FLTP, 1536, false},
                          Case{"webm", "webm", "libopus", AV_SAMPLE_FMT_S16, 0, false}}) {
        ASSERT_TRUE(open(jobFor(c.container, c.extension, c.codec, c.format), std::string("tail_") + c.codec));
        ASSERT_TRUE(write(700));
        EXPECT_TRUE(m_writer.close());

        const probe::File file = probe::read(m_path);
        ASSERT_TRUE(file.opened) << file.error_text();
        EXPECT_GE(file.audio_samples, 700) << c.codec;
        EXPECT_LE(file.audio_samples, 700 + c.decodedSlack) << c.codec;
        if (c.exactEnd) {
            EXPECT_NEAR(double(file.audio_end_samples), 700.0, MILLISECOND) << c.codec;
        }
    }
}

TEST_F(AudioPath, EightBitHostAudioIsCenteredOnSilence) {
    RenderJob job = jobFor("mov", "mov", "pcm_s16le", AV_SAMPLE_FMT_S16);
    job.host.format = AV_SAMPLE_FMT_U8;
    ASSERT_TRUE(open(job, "u8_host"));
    ASSERT_TRUE(write(4800));
    ASSERT_TRUE(m_writer.close());
    const probe::File file = probe::read(m_path);
    ASSERT_TRUE(file.opened) << file.error_text();
    for (int channel = 0; channel < 2; ++channel) {
        EXPECT_GT(toneCorrelation(file.samples[size_t(channel)], job.host.frequency(channel), file.sample_rate), 0.99);
        EXPECT_NEAR(toneAmplitude(file.samples[size_t(channel)], job.host.frequency(channel), file.sample_rate),
                    job.host.amplitude, 0.01);
    }
}

TEST_F(AudioPath, DrainingTwiceOrDestroyingTheWriterLosesNothing) {
    for (bool destroyed : {false, true}) {
        const std::string path = outputPath(destroyed ? "destroyed_open" : "drain_twice", "mp4");
        {
            FFWriter writer;
            writer.m_logCallback = keep_message;
            const RenderJob job = jobFor("mp4", "mp4", "aac", AV_SAMPLE_FMT_FLTP);
            WriterSettings settings = settingsFor(job);
            ASSERT_TRUE(writer.open(path.c_str(), &settings));
            const std::vector<uint8_t> block = job.host.block(0, 3000);
            ASSERT_TRUE(writer.writeAudio(block.data(), int64_t(block.size())));
            if (!destroyed) {
                EXPECT_TRUE(writer.writeAudio(nullptr, 0));
                EXPECT_TRUE(writer.writeAudio(nullptr, 0));
                EXPECT_TRUE(writer.close());
            }
        }
        const probe::File file = probe::read(path);
        ASSERT_TRUE(file.opened) << file.error_text();
        EXPECT_NEAR(double(file.audio_end_samples), 3000.0, MILLISECOND) << (destroyed ? "destroyed" : "drained");
    }
}

TEST_F(AudioPath, AfterAnAudioFailureFurtherCallsFailWithAMessage) {
    ASSERT_TRUE(open(jobFor("mp4", "mp4", "aac", AV_SAMPLE_FMT_FLTP), "after_failure"));
    ASSERT_TRUE(write(1601));
    ASSERT_TRUE(m_writer.writeAudio(nullptr, 0));  // the encoder is finished now
    // More sound for a finished encoder fails and resets the audio path.
    EXPECT_FALSE(write(1602));
    EXPECT_TRUE(count_logged("QelFFmpegWriter: Error encoding audio: ", LOG_ERROR));

    clear_messages();
    EXPECT_FALSE(write(1602));
    EXPECT_FALSE(m_writer.writeAudio(nullptr, 0));
    ASSERT_FALSE(kept_messages().empty());
    EXPECT_EQ(kept_messages().front().level, LOG_ERROR);
    EXPECT_TRUE(m_writer.close());

    const probe::File file = probe::read(m_path);
    ASSERT_TRUE(file.opened) << file.error_text();
    EXPECT_NEAR(double(file.audio_end_samples), 1601.0, MILLISECOND);
}

TEST_F(AudioPath, WriterReopenedForAnotherOutputStartsAfresh) {
    // First a two-channel interleaved output, then ten planar channels at
    // another rate: nothing of the first output's buffers is reused wrongly.
    RenderJob first = jobFor("mov", "mov", "pcm_s16le", AV_SAMPLE_FMT_S16);
    ASSERT_TRUE(open(first, "reopen_first"));
    ASSERT_TRUE(write(48000));
    ASSERT_TRUE(m_writer.close());

    RenderJob second = jobFor("matroska", "mkv", "libvorbis", AV_SAMPLE_FMT_FLTP);
    second.host.rate = 44100;
    second.host.channels = 10;
    second.host.amplitude = 0.2;
    const std::string firstPath = m_path;
    ASSERT_TRUE(open(second, "reopen_second"));
    EXPECT_EQ(m_writer.audioSampleCount(), 0);
    for (int frame = 0; frame < 30; ++frame)
        ASSERT_TRUE(write(sliceStart(frame + 1, 44100, second.fps) - sliceStart(frame, 44100, second.fps)));
    ASSERT_TRUE(m_writer.close());

    const probe::File firstFile = probe::read(firstPath);
    ASSERT_TRUE(firstFile.opened);
    EXPECT_EQ(firstFile.audio_samples, 48000);
    const probe::File secondFile = probe::read(m_path);
    ASSERT_TRUE(secondFile.opened);
    ASSERT_EQ(secondFile.samples.size(), 10u);
    EXPECT_GE(secondFile.audio_samples, m_sent);
    EXPECT_LE(secondFile.audio_samples, m_sent + 2048);  // vorbis's long block
    for (int channel = 0; channel < 10; ++channel)
        EXPECT_GT(toneCorrelation(secondFile.samples[size_t(channel)], second.host.frequency(channel), 44100), 0.95);
}

}  // namespace
