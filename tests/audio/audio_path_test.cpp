// The sample path between open and close: how blocks become encoder frames,
// the tail at close, and what happens after a failure.
#include "audio_kit.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

class AudioPath : public testing::Test {
protected:
    void SetUp() override { clear_messages(); }

    bool open(const RenderJob& job, const std::string& name) {
        m_job = job;
        m_sent = 0;
        m_writer->m_logCallback = keep_message;
        m_path = outputPath(name, job.container);
        WriterSettings settings = settingsFor(job);
        return m_writer->open(m_path.c_str(), &settings);
    }
    bool write(int64_t count) {
        const std::vector<uint8_t> block = m_job.host.block(m_sent, count);
        m_sent += count;
        return m_writer->writeAudio(block.data(), int64_t(block.size()));
    }

    RenderJob m_job;
    std::unique_ptr<FFWriter> m_writer = std::make_unique<FFWriter>();
    std::string m_path;
    int64_t m_sent = 0;
};

constexpr int64_t DRAIN = 0;

struct Step {
    int64_t samples;            // a block, or DRAIN for the empty call
    int64_t encoded = -1;       // samples the encoder has taken after it (-1: not looked at)
    const char* error = nullptr;  // the call fails with this error message
};

struct Sequence {
    const char* name;
    const char* container;
    const char* codec;
    AVSampleFormat format;
    std::vector<Step> steps;
    int decodedSlack;  // the decoder gives a short last frame whole
    int endSlack;      // how far the container's end may lie from the samples written
    bool destroy = false;  // the writer is destroyed instead of closed
};
void PrintTo(const Sequence& c, std::ostream* out) { *out << c.name; }

class AudioSequence : public AudioPath, public testing::WithParamInterface<Sequence> {};

TEST_P(AudioSequence, EverySampleWrittenReachesTheFile) {
    const Sequence& c = GetParam();
    ASSERT_TRUE(open(job_for(c.container, c.codec, c.format, ""), std::string("sequence_") + c.name));
    int64_t written = 0;
    for (const Step& step : c.steps) {
        clear_messages();
        const bool ok = step.samples == DRAIN ? m_writer->writeAudio(nullptr, 0) : write(step.samples);
        EXPECT_EQ(ok, !step.error) << "after " << written;
        EXPECT_TRUE(!step.error || count_logged(step.error, LOG_ERROR) == 1) << last_message();
        if (ok) written += step.samples;
        EXPECT_TRUE(step.encoded < 0 || m_writer->audioSampleCount() == step.encoded)
            << "after " << written << ": " << m_writer->audioSampleCount();
    }
    if (c.destroy)
        m_writer.reset();
    else
        EXPECT_TRUE(m_writer->close());
    const probe::File file = probe::read(m_path);
    ASSERT_TRUE(file.opened) << file.error_text();
    EXPECT_LE(std::abs(file.audio_end_samples - written), c.endSlack) << "end " << file.audio_end_samples;
    EXPECT_GE(file.audio_samples, written);
    EXPECT_LE(file.audio_samples, written + c.decodedSlack);
}

// mov, mp4 and matroska keep where the audio ends to the millisecond.
INSTANTIATE_TEST_SUITE_P(
    , AudioSequence,
    testing::Values(
        // aac takes 1024 samples a frame and keeps the rest for the next block;
        // pcm has no frame size and takes each block whole.
        Sequence{"aac_blocks", "mp4", "aac", AV_SAMPLE_FMT_FLTP, {{500, 0}, {1101, 1024}, {1602, 3072}}, 1024, 48},
        Sequence{"pcm_blocks", "mov", "pcm_s16le", AV_SAMPLE_FMT_S16, {{1601, 1601}, {1602, 3203}, {7, 3210}}, 0, 48},
        // Less than one frame: encoders that take a short last frame end
        // exactly there; ac3 takes whole frames only and gets silence after.
        Sequence{"aac_tail", "mp4", "aac", AV_SAMPLE_FMT_FLTP, {{700}}, 1024, 48},
        Sequence{"flac_tail", "matroska", "flac", AV_SAMPLE_FMT_S16, {{700}}, 0, 48},
        Sequence{"alac_tail", "mov", "alac", AV_SAMPLE_FMT_S16P, {{700}}, 0, 48},
        Sequence{"ac3_tail", "matroska", "ac3", AV_SAMPLE_FMT_FLTP, {{700}}, 1536, 1536},
        Sequence{"opus_tail", "webm", "libopus", AV_SAMPLE_FMT_S16, {{700}}, 0, 960},
        Sequence{"drained_twice", "mp4", "aac", AV_SAMPLE_FMT_FLTP, {{3000}, {DRAIN}, {DRAIN}}, 1024, 48},
        Sequence{"destroyed_open", "mp4", "aac", AV_SAMPLE_FMT_FLTP, {{3000}}, 1024, 48, true},
        // More sound for a finished encoder fails and resets the audio path;
        // every later call fails saying so.
        Sequence{"after_failure", "mp4", "aac", AV_SAMPLE_FMT_FLTP,
                 {{1601}, {DRAIN}, {1602, -1, "QelFFmpegWriter: Error encoding audio: "},
                  {1602, -1, "QelFFmpegWriter: "}, {DRAIN, -1, "QelFFmpegWriter: "}},
                 1024, 48}),
    [](const testing::TestParamInfo<Sequence>& info) { return std::string(info.param.name); });

TEST_F(AudioPath, WriterReopenedForAnotherOutputStartsAfresh) {
    // First a two-channel interleaved output, then ten planar channels at
    // another rate: nothing of the first output's buffers is reused wrongly.
    RenderJob first = job_for("mov", "pcm_s16le", AV_SAMPLE_FMT_S16, "");
    ASSERT_TRUE(open(first, "reopen_first"));
    ASSERT_TRUE(write(48000));
    ASSERT_TRUE(m_writer->close());

    RenderJob second = job_for("matroska", "libvorbis", AV_SAMPLE_FMT_FLTP, "");
    second.host.rate = 44100;
    second.host.channels = 10;
    second.host.amplitude = 0.2;
    const std::string firstPath = m_path;
    ASSERT_TRUE(open(second, "reopen_second"));
    EXPECT_EQ(m_writer->audioSampleCount(), 0);
    for (int frame = 0; frame < 30; ++frame)
        ASSERT_TRUE(write(sliceStart(frame + 1, 44100, second.fps) - sliceStart(frame, 44100, second.fps)));
    ASSERT_TRUE(m_writer->close());

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
