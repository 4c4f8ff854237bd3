// Sound handed to FFWriter block by block, read back with FFmpeg's decoders:
// every sample written reaches the file, whatever the blocks' sizes, however
// the writer ends, and on a writer reused for another output.
#include "support.h"

#include "common/codec_pairs.h"

#include <memory>

using namespace writer_test;

namespace {

constexpr AVSampleFormat S16 = AV_SAMPLE_FMT_S16, S16P = AV_SAMPLE_FMT_S16P, FLTP = AV_SAMPLE_FMT_FLTP;

// No encoder gives a file without sound: sound and drain fail without a
// word. An encoder this FFmpeg lacks fails the open, naming it.
TEST(AudioOpen, MissingEncodersAndClosedWritersTakeNoSound) {
    FFWriter closed;
    EXPECT_FALSE(closed.writeAudio(nullptr, 0));
    for (const char* codec : {"no_such_encoder", static_cast<const char*>(nullptr)}) {
        SCOPED_TRACE(codec ? codec : "none");
        clear_messages();
        FFWriter writer(keep_message);
        WriterSettings settings = sound_settings("mov", codec, S16, 48000, 2, "mpeg4");
        const std::string path = output_path(std::string("without_audio") + (codec ? codec : ""), "mov");
        if (codec) {
            EXPECT_FALSE(writer.open(path.c_str(), settings));
            EXPECT_EQ(messages_at_least(LOG_ERROR),
                      std::vector<std::string>{"QelFFmpegWriter: this FFmpeg has no audio encoder no_such_encoder; "
                                               "the output is not written"});
            EXPECT_FALSE(std::filesystem::exists(path));
            continue;
        }
        ASSERT_TRUE(writer.open(path.c_str(), settings));
        EXPECT_FALSE(writer.hasAudio());
        const std::vector<uint8_t> block = host_sound(48000, 2, 0, 1601);
        EXPECT_FALSE(writer.writeAudio(block.data(), int64_t(block.size())));
        EXPECT_FALSE(writer.writeAudio(nullptr, 0));
        EXPECT_TRUE(messages_at_least(LOG_WARNING).empty());
    }
}

constexpr int64_t DRAIN = 0;

struct Step {
    int64_t samples;              // a block, or DRAIN for the empty call
    int64_t encoded = -1;         // samples the encoder has taken after it (-1: not looked at)
    const char* error = nullptr;  // the call fails with this error message
};

// How far a count read back may lie beyond the samples written.
enum class Slack {
    None,
    Millisecond,  // a container that keeps times to the millisecond
    LastFrame,    // the encoder's frame: its short last frame is given whole
};

int64_t samples_of(Slack slack, const CodecPair& pair) {
    if (slack == Slack::Millisecond) return 48;
    return slack == Slack::LastFrame ? sound_framing(pair.codec, 48000, 2).frame : 0;
}

struct Sequence {
    const char* name;
    CodecPair pair;
    AVSampleFormat format;
    std::vector<Step> steps;
    Slack decoded;         // beyond the samples written, of those decoded
    Slack end;             // either side of them, of where the container says the sound ends
    bool destroy = false;  // the writer is destroyed instead of closed
};
void PrintTo(const Sequence& c, std::ostream* out) { *out << c.name; }

class AudioSequence : public testing::TestWithParam<Sequence> {};

TEST_P(AudioSequence, EverySampleWrittenReachesTheFile) {
    const Sequence& c = GetParam();
    const std::string path = output_path(std::string("sequence_") + c.name, c.pair.extension);
    auto writer = std::make_unique<FFWriter>(keep_message);
    WriterSettings settings = sound_settings(c.pair.container, c.pair.codec, c.format);
    ASSERT_TRUE(writer->open(path.c_str(), settings));
    int64_t written = 0;
    for (const Step& step : c.steps) {
        clear_messages();
        const std::vector<uint8_t> block = host_sound(48000, 2, written, step.samples);
        const bool ok = writer->writeAudio(step.samples == DRAIN ? nullptr : block.data(), int64_t(block.size()));
        EXPECT_EQ(ok, !step.error) << "after " << written;
        EXPECT_TRUE(!step.error || count_logged(step.error, LOG_ERROR) == 1) << last_message();
        if (ok) written += step.samples;
        EXPECT_TRUE(step.encoded < 0 || writer->audioSampleCount() == step.encoded)
            << "after " << written << ": " << writer->audioSampleCount();
    }
    if (c.destroy)
        writer.reset();
    else
        EXPECT_TRUE(writer->close());
    const probe::File file = probe::read(path);
    ASSERT_TRUE(file.opened) << file.error_text();
    EXPECT_LE(std::abs(file.audio_end_samples - written), samples_of(c.end, c.pair)) << "end " << file.audio_end_samples;
    EXPECT_GE(file.audio_samples, written);
    EXPECT_LE(file.audio_samples, written + samples_of(c.decoded, c.pair));
}

// mov, mp4 and matroska keep where the audio ends to the millisecond.
constexpr Slack NONE = Slack::None, MS = Slack::Millisecond, LAST_FRAME = Slack::LastFrame;
INSTANTIATE_TEST_SUITE_P(
    , AudioSequence,
    testing::Values(
        // aac takes 1024 samples a frame and keeps the rest for the next block;
        // pcm has no frame size and takes each block whole.
        Sequence{"aac_blocks", pairs::MP4_AAC, FLTP, {{500, 0}, {1101, 1024}, {1602, 3072}}, LAST_FRAME, MS},
        Sequence{"pcm_blocks", pairs::MOV_PCM, S16, {{1601, 1601}, {1602, 3203}, {7, 3210}}, NONE, MS},
        // Less than one frame: encoders that take a short last frame end
        // exactly there; ac3 takes whole frames only and gets silence after.
        Sequence{"aac_tail", pairs::MP4_AAC, FLTP, {{700}}, LAST_FRAME, MS},
        Sequence{"flac_tail", pairs::MKV_FLAC, S16, {{700}}, NONE, MS},
        Sequence{"alac_tail", pairs::MOV_ALAC, S16P, {{700}}, NONE, MS},
        Sequence{"ac3_tail", pairs::MKV_AC3, FLTP, {{700}}, LAST_FRAME, LAST_FRAME},
        Sequence{"opus_tail", pairs::WEBM_OPUS, S16, {{700}}, NONE, LAST_FRAME},
        Sequence{"drained_twice", pairs::MP4_AAC, FLTP, {{3000}, {DRAIN}, {DRAIN}}, LAST_FRAME, MS},
        Sequence{"destroyed_open", pairs::MP4_AAC, FLTP, {{3000}}, LAST_FRAME, MS, true},
        // More sound for a finished encoder fails and resets the audio path;
        // every later call fails saying so.
        Sequence{"after_failure", pairs::MP4_AAC, FLTP,
                 {{1601}, {DRAIN}, {1602, -1, "QelFFmpegWriter: Error encoding audio: "},
                  {1602, -1, "QelFFmpegWriter: "}, {DRAIN, -1, "QelFFmpegWriter: "}},
                 LAST_FRAME, MS}),
    [](const testing::TestParamInfo<Sequence>& info) { return std::string(info.param.name); });

TEST(AudioPath, WriterReopenedForAnotherOutputStartsAfresh) {
    // Two interleaved channels, then ten planar ones at another rate: nothing of the first buffers is reused wrongly.
    FFWriter writer;
    const std::string firstPath = output_path("reopen_first", "mov"), path = output_path("reopen_second", "mkv");
    WriterSettings settings = sound_settings("mov", "pcm_s16le", S16);
    ASSERT_TRUE(writer.open(firstPath.c_str(), settings));
    ASSERT_TRUE(writer.writeAudio(host_sound(48000, 2, 0, 48000).data(), 48000 * 4));
    ASSERT_TRUE(writer.close());
    settings = sound_settings("matroska", "libvorbis", FLTP, 44100, 10);
    ASSERT_TRUE(writer.open(path.c_str(), settings));
    EXPECT_EQ(writer.audioSampleCount(), 0);
    // Frame n's slice at 29.97 fps: 1471 or 1472 samples.
    const auto slice = [](int64_t frame) { return int64_t(std::floor(44100.0 * 1001 * frame / 30000 + 0.5)); };
    for (int frame = 0; frame < 30; ++frame) {
        const int64_t start = slice(frame), count = slice(frame + 1) - start;
        ASSERT_TRUE(writer.writeAudio(host_sound(44100, 10, start, count).data(), count * 20));
    }
    ASSERT_TRUE(writer.close());

    EXPECT_EQ(probe::read(firstPath).audio_samples, 48000);
    const probe::File file = probe::read(path);
    ASSERT_EQ(file.samples.size(), 10u);
    EXPECT_GE(file.audio_samples, slice(30));
    EXPECT_LE(file.audio_samples, slice(30) + 2048);  // vorbis's long block
    for (int channel = 0; channel < 10; ++channel)
        EXPECT_GT(tone_correlation(file.samples[size_t(channel)], host_frequency(channel), 44100), 0.95);
}

}  // namespace
