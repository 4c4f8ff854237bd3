// Sound through FFWriter, read back with FFmpeg's decoders: every host sample
// reaches the file, in step with the pictures, on the right channel, at a rate
// and layout the encoder takes; and what cannot be opened says why.
#include "support.h"

#include <memory>

using namespace writer_test;

namespace {

struct CodecCase {
    const char* name;
    const char* container;
    const char* audioCodec;
    AVSampleFormat hostFormat, outFormat;
    bool lossless;
    int decodedSlack;  // the decoder gives a short last frame whole; ac3 takes whole frames only
    int endSlack;      // from the container's end of the audio to the samples sent (webm keeps opus's last packet)
    // Priming the container may not declare (ac3, mp2 in matroska): decoders keep it, newer muxers put it before zero.
    int undeclaredPriming = 0;
    int frames = 300;  // where the last encoder frame is cut matters to encoders that keep nothing back
};
void PrintTo(const CodecCase& c, std::ostream* os) { *os << c.name; }

class AudioCodecs : public testing::TestWithParam<std::tuple<CodecCase, bool>> {};

TEST_P(AudioCodecs, FileHoldsEveryHostSampleInStepWithThePictures) {
    const CodecCase& c = std::get<0>(GetParam());
    RenderJob job = job_for(c.container, c.audioCodec, c.outFormat, "mpeg4", c.frames);
    job.stereo = std::get<1>(GetParam());
    job.host.format = c.hostFormat;
    job.host.lowBits = c.hostFormat == AV_SAMPLE_FMT_S32;
    clear_messages();
    const RenderResult result =
        render(job, output_path(std::string("codec_") + c.name + (job.stereo ? "_stereo" : ""), c.container));
    ASSERT_TRUE(result.opened) << last_message();
    EXPECT_TRUE(result.allWritten);
    EXPECT_FALSE(count_logged("Audio timestamp", LOG_WARNING));

    const probe::File file = probe::read(result.path);
    ASSERT_TRUE(file.opened) << file.error_text();
    ASSERT_EQ(file.streams[0].type, AVMEDIA_TYPE_AUDIO) << "audio is the first stream";
    EXPECT_EQ(file.sample_rate, 48000);
    ASSERT_EQ(file.samples.size(), 2u);
    // The decoder drops the priming and padding the container declares.
    const int64_t sent = result.samplesSent;
    EXPECT_GE(file.audio_samples, sent);
    EXPECT_LE(file.audio_samples, sent + c.decodedSlack);
    EXPECT_LE(std::abs(file.audio_end_samples - sent), c.endSlack) << "end " << file.audio_end_samples;
    EXPECT_GE(file.audio_start, -c.undeclaredPriming / 48000.0 - 1e-3);
    EXPECT_LE(file.audio_start, 1e-3);
    EXPECT_EQ(file.video_frames, job.frames);
    // Undeclared priming ends the sound that much later, and a whole last encoder frame later still.
    const double endSeconds = c.undeclaredPriming == 0 ? 1 / job.fps : std::max(1 / job.fps, c.endSlack / 48000.0);
    EXPECT_LT(std::abs(file.audio_seconds() - file.video_seconds), endSeconds)
        << "audio " << file.audio_seconds() << " s, video " << file.video_seconds << " s";

    for (int channel = 0; channel < 2; ++channel) {
        SCOPED_TRACE("channel " + std::to_string(channel));
        const std::vector<double>& decoded = file.samples[size_t(channel)];
        // The sound lasts to the last host sample, wherever the priming went.
        EXPECT_GE(sound_length(decoded, job.host.amplitude), sent - 16);
        // Without priming, decoded sample n is host sample n.
        if (c.undeclaredPriming == 0) { EXPECT_GT(host_correlation(decoded, job.host, channel), 0.98); }
        EXPECT_GT(tone_correlation(decoded, job.host.frequency(channel), 48000), 0.98);
        EXPECT_LT(tone_correlation(decoded, job.host.frequency(1 - channel), 48000), 0.05);
        EXPECT_NEAR(tone_amplitude(decoded, job.host.frequency(channel), 48000), job.host.amplitude, 0.05);
    }
    // Lossless: bit for bit, from the first sample on.
    const std::vector<uint8_t> bytes = job.host.block(0, sent);
    int mismatches = 0;
    for (size_t at = 0; c.lossless && at < size_t(sent) * 2 && mismatches < 5; ++at) {
        const double expected = c.hostFormat == AV_SAMPLE_FMT_S16
                                    ? reinterpret_cast<const int16_t*>(bytes.data())[at] / 32768.0
                                    : reinterpret_cast<const int32_t*>(bytes.data())[at] / 2147483648.0;
        if (file.samples[at % 2][at / 2] != expected && ++mismatches) ADD_FAILURE() << "sample " << at;
    }
}

constexpr AVSampleFormat S16 = AV_SAMPLE_FMT_S16, S16P = AV_SAMPLE_FMT_S16P, FLTP = AV_SAMPLE_FMT_FLTP;
INSTANTIATE_TEST_SUITE_P(
    , AudioCodecs,
    testing::Combine(testing::Values(
        CodecCase{"aac_mp4", "mp4", "aac", S16, FLTP, false, 1024, 48},
        CodecCase{"mp3_mov", "mov", "libmp3lame", S16, AV_SAMPLE_FMT_S32P, false, 1152, 48},
        CodecCase{"mp3_fltp_mov", "mov", "libmp3lame", S16, FLTP, false, 1152, 48},
        CodecCase{"ac3_mkv", "matroska", "ac3", S16, FLTP, false, 256 + 1536, 256 + 1536, 256, 302},
        CodecCase{"mp2_mkv", "matroska", "mp2", S16, S16, false, 1152 + 481, 1152 + 481, 481, 299},
        CodecCase{"opus_webm", "webm", "libopus", S16, S16, false, 0, 960},
        CodecCase{"opus_flt_webm", "webm", "libopus", S16, AV_SAMPLE_FMT_FLT, false, 0, 960},
        CodecCase{"pcm16_mov", "mov", "pcm_s16le", S16, S16, true, 0, 48},
        // An 8-bit host's samples are centred on silence.
        CodecCase{"pcm16_u8host_mov", "mov", "pcm_s16le", AV_SAMPLE_FMT_U8, S16, false, 0, 48},
        CodecCase{"pcm24_mov", "mov", "pcm_s24le", AV_SAMPLE_FMT_S32, AV_SAMPLE_FMT_S32, true, 0, 48},
        CodecCase{"flac_mkv", "matroska", "flac", S16, S16, true, 0, 48},
        CodecCase{"alac_mov", "mov", "alac", S16, S16P, true, 0, 48}),
                     testing::Bool()),
    [](const testing::TestParamInfo<AudioCodecs::ParamType>& info) {
        return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "_stereo" : "");
    });

struct Opened {
    const char* container;
    const char* codec;
    AVSampleFormat format;
    int hostRate, hostChannels;
    bool stereo;
    int expectedRate;
    int decodedSlack;  // the decoder gives the last frame whole
};
void PrintTo(const Opened& c, std::ostream* out) { *out << c.codec << "_" << c.hostRate << "_" << c.hostChannels; }

class AudioOpened : public testing::TestWithParam<Opened> {};

TEST_P(AudioOpened, EncoderGetsTheNearestRateAndEveryHostChannelMixedIntoTwo) {
    const Opened& c = GetParam();
    clear_messages();
    RenderJob job = job_for(c.container, c.codec, c.format, "mpeg4", 30);
    job.host.rate = c.hostRate;
    job.host.channels = c.hostChannels;
    job.host.amplitude = c.hostChannels > 2 ? 0.15 : 0.5;
    job.stereo = c.stereo;
    const RenderResult result = render(job, output_path(std::string("opened_") + c.codec + std::to_string(c.hostRate) +
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
    // Counted at the new rate; the resampler's last samples are in too.
    const double expected = double(result.samplesSent) * c.expectedRate / c.hostRate;
    EXPECT_GE(double(file.audio_samples), expected - (changed ? 2 : 0));
    EXPECT_LE(double(file.audio_samples), expected + c.decodedSlack);
    const auto amplitude = [&](int fileChannel, int host) {
        return tone_amplitude(file.samples[size_t(fileChannel)], job.host.frequency(host), file.sample_rate);
    };
    if (c.hostChannels == 2) {
        EXPECT_LT(std::abs(file.audio_seconds() - file.video_seconds), 1.0 / job.fps);
        for (int channel = 0; channel < 2; ++channel)
            EXPECT_GT(tone_correlation(file.samples[size_t(channel)], job.host.frequency(channel), c.expectedRate), 0.98);
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
    Opened{"webm", "libopus", S16, 44100, 2, false, 48000, 2},
    Opened{"mov", "libmp3lame", S16P, 46050, 2, false, 44100, 1152},
    Opened{"mov", "aac", FLTP, 46050, 2, false, 48000, 1024},
    Opened{"mov", "pcm_s16le", S16, 44099, 2, false, 44099, 0},
    Opened{"mp4", "aac", FLTP, 48000, 6, true, 48000, 1024},
    Opened{"matroska", "ac3", FLTP, 48000, 6, true, 48000, 256 + 1536},
    Opened{"matroska", "flac", S16, 48000, 6, true, 48000, 0},
    Opened{"matroska", "mp2", S16, 48000, 4, false, 48000, 1152 + 481}));

TEST(AudioOpen, RefusedOrMissingEncodersAndClosedWriters) {
    // aac takes no packed 16-bit samples; nine host channels have no named
    // layout (ten became 5.1.4 in 7.1) and alac takes at most eight.
    const std::tuple<const char*, const char*, AVSampleFormat, int, const char*> refused[] = {
        {"mp4", "aac", S16, 2, "QelFFmpegWriter: audio encoder does not support sample format: s16"},
        {"mov", "alac", S16P, 9, "QelFFmpegWriter: Failed to initialize audio conversion context. "}};
    for (const auto& [container, codec, format, channels, message] : refused) {
        clear_messages();
        RenderJob job = job_for(container, codec, format, "mpeg4", 30);
        job.host.channels = channels;
        EXPECT_FALSE(render(job, output_path(std::string("refused_") + codec, container)).opened) << codec;
        EXPECT_EQ(count_logged(message, LOG_ERROR), 1) << message;
    }
    EXPECT_EQ(count_logged("Can't convert audio from s16 to s16p", LOG_PLAIN), 1);

    // An encoder this FFmpeg lacks, or none, gives a file without sound: sound and drain fail without a word.
    FFWriter closed;
    EXPECT_FALSE(closed.writeAudio(nullptr, 0));
    for (const char* codec : {"no_such_encoder", ""}) {
        SCOPED_TRACE(codec);
        clear_messages();
        RenderJob job = job_for("mov", codec, S16, "mpeg4", 30);
        FFWriter writer;
        writer.m_logCallback = keep_message;
        WriterSettings settings = settings_for(job);
        ASSERT_TRUE(writer.open(output_path(std::string("without_audio") + codec, "mov").c_str(), &settings));
        EXPECT_FALSE(writer.hasAudio());
        const std::vector<uint8_t> block = job.host.block(0, 1601);
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

struct Sequence {
    const char* name;
    const char* container;
    const char* codec;
    AVSampleFormat format;
    std::vector<Step> steps;
    int decodedSlack;      // the decoder gives a short last frame whole
    int endSlack;          // how far the container's end may lie from the samples written
    bool destroy = false;  // the writer is destroyed instead of closed
};
void PrintTo(const Sequence& c, std::ostream* out) { *out << c.name; }

class AudioSequence : public testing::TestWithParam<Sequence> {};

TEST_P(AudioSequence, EverySampleWrittenReachesTheFile) {
    const Sequence& c = GetParam();
    const RenderJob job = job_for(c.container, c.codec, c.format, "");
    const std::string path = output_path(std::string("sequence_") + c.name, c.container);
    auto writer = std::make_unique<FFWriter>();
    writer->m_logCallback = keep_message;
    WriterSettings settings = settings_for(job);
    ASSERT_TRUE(writer->open(path.c_str(), &settings));
    int64_t written = 0;
    for (const Step& step : c.steps) {
        clear_messages();
        const std::vector<uint8_t> block = job.host.block(written, step.samples);
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
        Sequence{"aac_blocks", "mp4", "aac", FLTP, {{500, 0}, {1101, 1024}, {1602, 3072}}, 1024, 48},
        Sequence{"pcm_blocks", "mov", "pcm_s16le", S16, {{1601, 1601}, {1602, 3203}, {7, 3210}}, 0, 48},
        // Less than one frame: encoders that take a short last frame end
        // exactly there; ac3 takes whole frames only and gets silence after.
        Sequence{"aac_tail", "mp4", "aac", FLTP, {{700}}, 1024, 48},
        Sequence{"flac_tail", "matroska", "flac", S16, {{700}}, 0, 48},
        Sequence{"alac_tail", "mov", "alac", S16P, {{700}}, 0, 48},
        Sequence{"ac3_tail", "matroska", "ac3", FLTP, {{700}}, 1536, 1536},
        Sequence{"opus_tail", "webm", "libopus", S16, {{700}}, 0, 960},
        Sequence{"drained_twice", "mp4", "aac", FLTP, {{3000}, {DRAIN}, {DRAIN}}, 1024, 48},
        Sequence{"destroyed_open", "mp4", "aac", FLTP, {{3000}}, 1024, 48, true},
        // More sound for a finished encoder fails and resets the audio path;
        // every later call fails saying so.
        Sequence{"after_failure", "mp4", "aac", FLTP,
                 {{1601}, {DRAIN}, {1602, -1, "QelFFmpegWriter: Error encoding audio: "},
                  {1602, -1, "QelFFmpegWriter: "}, {DRAIN, -1, "QelFFmpegWriter: "}},
                 1024, 48}),
    [](const testing::TestParamInfo<Sequence>& info) { return std::string(info.param.name); });

TEST(AudioPath, WriterReopenedForAnotherOutputStartsAfresh) {
    // Two interleaved channels, then ten planar ones at another rate: nothing of the first buffers is reused wrongly.
    FFWriter writer;
    RenderJob first = job_for("mov", "pcm_s16le", S16, ""), second = job_for("matroska", "libvorbis", FLTP, "");
    second.host = {44100, 10, S16, 0.2};
    const std::string firstPath = output_path("reopen_first", "mov"), path = output_path("reopen_second", "mkv");
    WriterSettings settings = settings_for(first);
    ASSERT_TRUE(writer.open(firstPath.c_str(), &settings));
    ASSERT_TRUE(writer.writeAudio(first.host.block(0, 48000).data(), 48000 * 4));
    ASSERT_TRUE(writer.close());
    settings = settings_for(second);
    ASSERT_TRUE(writer.open(path.c_str(), &settings));
    EXPECT_EQ(writer.audioSampleCount(), 0);
    const int64_t sent = slice_start(30, 44100, second.fps);
    for (int frame = 0; frame < 30; ++frame) {
        const int64_t start = slice_start(frame, 44100, second.fps), count = slice_start(frame + 1, 44100, second.fps) - start;
        ASSERT_TRUE(writer.writeAudio(second.host.block(start, count).data(), count * 20));
    }
    ASSERT_TRUE(writer.close());

    EXPECT_EQ(probe::read(firstPath).audio_samples, 48000);
    const probe::File file = probe::read(path);
    ASSERT_EQ(file.samples.size(), 10u);
    EXPECT_GE(file.audio_samples, sent);
    EXPECT_LE(file.audio_samples, sent + 2048);  // vorbis's long block
    for (int channel = 0; channel < 10; ++channel)
        EXPECT_GT(tone_correlation(file.samples[size_t(channel)], second.host.frequency(channel), 44100), 0.95);
}

}  // namespace
