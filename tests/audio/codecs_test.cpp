// Ten seconds of a two-tone clip through each audio encoder we offer, read
// back with FFmpeg's decoders: every host sample is in the file, in step with
// the pictures, on the right channel, whether "Stereo" is on or off.
#include "audio_kit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

struct CodecCase {
    const char* name;
    const char* container;
    const char* audioCodec;
    AVSampleFormat hostFormat;
    AVSampleFormat outFormat;
    bool lossless;
    // Samples the decoded count may exceed the sent count by: FFmpeg's
    // decoders give the last frame whole where only the container's
    // timestamps say it was short, and ac3 takes whole frames only.
    int decodedSlack;
    // How far the container's own end of the audio may lie from the samples
    // sent: mov and mp4 keep it to the millisecond, webm keeps opus's last
    // packet whole and marks its padding.
    int endSlack;
    // The encoder's priming where the container may not declare it (ac3 and
    // mp2 in matroska): decoders then keep it, and newer matroska muxers put
    // it before zero instead of moving the whole file later.
    int undeclaredPriming = 0;
    // Frames of the clip: where the last encoder frame is cut matters to
    // encoders that keep nothing back for the drain.
    int frames = 300;
};

void PrintTo(const CodecCase& c, std::ostream* os) { *os << c.name; }

class AudioCodecs : public testing::TestWithParam<std::tuple<CodecCase, bool>> {};

TEST_P(AudioCodecs, FileHoldsEveryHostSampleInStepWithThePictures) {
    const CodecCase& c = std::get<0>(GetParam());
    RenderJob job = job_for(c.container, c.audioCodec, c.outFormat);
    job.stereo = std::get<1>(GetParam());
    job.host.format = c.hostFormat;
    job.host.lowBits = c.hostFormat == AV_SAMPLE_FMT_S32;
    job.frames = c.frames;  // ten seconds at 29.97 fps
    clear_messages();
    const RenderResult result =
        render(job, outputPath(std::string("codec_") + c.name + (job.stereo ? "_stereo" : ""), c.container));
    ASSERT_TRUE(result.opened) << last_message();
    EXPECT_TRUE(result.allWritten);
    EXPECT_FALSE(count_logged("Audio timestamp", LOG_WARNING));

    const probe::File file = probe::read(result.path);
    ASSERT_TRUE(file.opened) << file.error_text();
    ASSERT_EQ(file.streams[0].type, AVMEDIA_TYPE_AUDIO) << "audio is the first stream";
    EXPECT_EQ(file.sample_rate, 48000);
    ASSERT_EQ(file.samples.size(), 2u);

    // Every sample sent is decoded; the decoder already drops the priming
    // and padding the container declares.
    EXPECT_GE(file.audio_samples, result.samplesSent);
    EXPECT_LE(file.audio_samples, result.samplesSent + c.decodedSlack);
    EXPECT_LE(std::abs(file.audio_end_samples - result.samplesSent), c.endSlack) << "end " << file.audio_end_samples;
    EXPECT_GE(file.audio_start, -c.undeclaredPriming / 48000.0 - 1e-3);
    EXPECT_LE(file.audio_start, 1e-3);
    // The sound lasts to the last host sample, wherever the priming went;
    // lossy ends are found to within a few samples.
    for (int channel = 0; channel < 2; ++channel)
        EXPECT_GE(soundLength(file.samples[size_t(channel)], job.host.amplitude), result.samplesSent - 16)
            << "channel " << channel;
    // Priming removed: decoded sample n is host sample n. Where the priming
    // may be kept, the tone is only checked for itself.
    if (c.undeclaredPriming == 0) {
        for (int channel = 0; channel < 2; ++channel)
            EXPECT_GT(hostCorrelation(file.samples[size_t(channel)], job.host, channel), 0.98) << "channel " << channel;
    }

    const double frameSeconds = 1.0 / job.fps;
    EXPECT_EQ(file.video_frames, job.frames);
    // Where the container does not declare the encoder's priming, the sound
    // ends that much later, and a whole last encoder frame later still.
    const double endSeconds = c.undeclaredPriming == 0 ? frameSeconds : std::max(frameSeconds, c.endSlack / 48000.0);
    EXPECT_LT(std::abs(file.audio_seconds() - file.video_seconds), endSeconds)
        << "audio " << file.audio_seconds() << " s, video " << file.video_seconds << " s";

    // Channel c carries the tone of host channel c and nothing of the other.
    for (int channel = 0; channel < 2; ++channel) {
        const std::vector<double>& decoded = file.samples[size_t(channel)];
        EXPECT_GT(toneCorrelation(decoded, job.host.frequency(channel), file.sample_rate), 0.98) << "channel " << channel;
        EXPECT_LT(toneCorrelation(decoded, job.host.frequency(1 - channel), file.sample_rate), 0.05) << "channel " << channel;
        EXPECT_NEAR(toneAmplitude(decoded, job.host.frequency(channel), file.sample_rate), job.host.amplitude, 0.05);
    }

    // Lossless: bit for bit, from the first sample on.
    const std::vector<uint8_t> sent = job.host.block(0, result.samplesSent);
    int mismatches = 0;
    for (size_t at = 0; c.lossless && at < size_t(result.samplesSent) * 2 && mismatches < 5; ++at) {
        const double expected = c.hostFormat == AV_SAMPLE_FMT_S16
                                    ? reinterpret_cast<const int16_t*>(sent.data())[at] / 32768.0
                                    : reinterpret_cast<const int32_t*>(sent.data())[at] / 2147483648.0;
        const double got = file.samples[at % 2][at / 2];
        if (got != expected && ++mismatches)
            ADD_FAILURE() << "sample " << at / 2 << " channel " << at % 2 << ": " << got << " != " << expected;
    }
}

INSTANTIATE_TEST_SUITE_P(
    , AudioCodecs,
    testing::Combine(testing::Values(
        CodecCase{"aac_mp4", "mp4", "aac", AV_SAMPLE_FMT_S16, AV_SAMPLE_FMT_FLTP, false, 1024, 48},
        CodecCase{"mp3_mov", "mov", "libmp3lame", AV_SAMPLE_FMT_S16, AV_SAMPLE_FMT_S32P, false, 1152, 48},
        CodecCase{"mp3_fltp_mov", "mov", "libmp3lame", AV_SAMPLE_FMT_S16, AV_SAMPLE_FMT_FLTP, false, 1152, 48},
        CodecCase{"ac3_mkv", "matroska", "ac3", AV_SAMPLE_FMT_S16, AV_SAMPLE_FMT_FLTP, false, 256 + 1536, 256 + 1536, 256, 302},
        CodecCase{"mp2_mkv", "matroska", "mp2", AV_SAMPLE_FMT_S16, AV_SAMPLE_FMT_S16, false, 1152 + 481, 1152 + 481, 481, 299},
        CodecCase{"opus_webm", "webm", "libopus", AV_SAMPLE_FMT_S16, AV_SAMPLE_FMT_S16, false, 0, 960},
        CodecCase{"opus_flt_webm", "webm", "libopus", AV_SAMPLE_FMT_S16, AV_SAMPLE_FMT_FLT, false, 0, 960},
        CodecCase{"pcm16_mov", "mov", "pcm_s16le", AV_SAMPLE_FMT_S16, AV_SAMPLE_FMT_S16, true, 0, 48},
        // An 8-bit host's samples are centred on silence.
        CodecCase{"pcm16_u8host_mov", "mov", "pcm_s16le", AV_SAMPLE_FMT_U8, AV_SAMPLE_FMT_S16, false, 0, 48},
        CodecCase{"pcm24_mov", "mov", "pcm_s24le", AV_SAMPLE_FMT_S32, AV_SAMPLE_FMT_S32, true, 0, 48},
        CodecCase{"flac_mkv", "matroska", "flac", AV_SAMPLE_FMT_S16, AV_SAMPLE_FMT_S16, true, 0, 48},
        CodecCase{"alac_mov", "mov", "alac", AV_SAMPLE_FMT_S16, AV_SAMPLE_FMT_S16P, true, 0, 48}),
                     testing::Bool()),
    [](const testing::TestParamInfo<AudioCodecs::ParamType>& info) {
        return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "_stereo" : "");
    });

// 1601/1602-sample slices must not drift against the pictures over ten
// minutes; 16x16 pictures and mono aac keep it cheap.
TEST(AudioLongRender, TenMinutesAt2997StayInStepWithThePictures) {
    RenderJob job = job_for("mp4", "aac", AV_SAMPLE_FMT_FLTP);
    job.width = 16;
    job.height = 16;
    job.host.channels = 1;
    job.frames = 17982;  // 10 minutes at 30000/1001
    clear_messages();
    const RenderResult result = render(job, outputPath("long_render", job.container));
    ASSERT_TRUE(result.opened);
    EXPECT_TRUE(result.allWritten);
    EXPECT_FALSE(count_logged("timestamp", LOG_WARNING));

    const int64_t lastSecond = result.samplesSent - 48000;
    probe::Options lastSecondOnly;  // ten minutes of samples need not be kept
    lastSecondOnly.keep_from = lastSecond;
    const probe::File file = probe::read(result.path, lastSecondOnly);
    ASSERT_TRUE(file.opened) << file.error_text();
    // The container ends the audio at the last sample sent (to its millisecond);
    // the decoder gives aac's short last frame whole.
    EXPECT_NEAR(double(file.audio_end_samples), double(result.samplesSent), 48.0);
    EXPECT_GE(file.audio_samples, result.samplesSent);
    EXPECT_LE(file.audio_samples, result.samplesSent + 1024);
    EXPECT_EQ(file.video_frames, job.frames);
    EXPECT_LT(std::abs(file.audio_seconds() - file.video_seconds), 1.0 / job.fps)
        << "audio " << file.audio_seconds() << " s, video " << file.video_seconds << " s";
    // The last second matches the host's signal sample for sample (lag 0).
    EXPECT_GT(hostCorrelation(file.samples[0], job.host, 0, lastSecond), 0.98);
}

}  // namespace
