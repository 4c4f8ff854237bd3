// Options the encoder context receives before it is opened, and the chosen
// profile, preset, tuning and rate control as they end up in the written file.
#include "support.h"

#include "catalogue/profiles.h"
#include "base/compat.h"
#include "writer/encoder/options.h"

extern "C" {
#include <libavutil/error.h>
}

#include <string>

using namespace writer_test;

namespace {

struct Context {
    explicit Context(const char* encoder) : codec(avcodec_find_encoder_by_name(encoder)) {
        if (codec) context.reset(avcodec_alloc_context3(codec));
    }
    const AVCodec* codec;
    CodecContextPtr context;
};

class Options : public ::testing::Test {
protected:
    void SetUp() override {
        clear_messages();
        dir = scratch_dir(std::string("options_") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    }

    // Writes `frames` frames, failing on any warning; the file as read back.
    probe::File write(const std::string& name, const WriterSettings& s, int frames) {
        probe::File file = write_clip(writer, dir + "/" + name, s, frames);
        for (const std::string& problem : messages_at_least(LOG_WARNING)) ADD_FAILURE() << problem;
        return file;
    }

    FFWriter writer{keep_message};
    std::string dir;
};

TEST_F(Options, AudioProfileByTableNumberOrLeftAlone) {
    Context aac("aac"), untouched("aac");
    apply_audio_profile(keep_message, *aac.context, "aac", "AAC-Low");
    EXPECT_EQ(aac.context->profile, AV_PROFILE_AAC_LOW);
    apply_audio_profile(keep_message, *untouched.context, "aac", "AAC-HE");  // a libfdk_aac row only
    apply_audio_profile(keep_message, *untouched.context, "aac", nullptr);
    EXPECT_EQ(untouched.context->profile, AV_PROFILE_UNKNOWN);
    EXPECT_TRUE(kept_messages().empty());
}

// An x264 wrapper without the private options the writer sets: each refusal
// is reported with FFmpeg's reason, every later step still runs, and the
// encoder opens with what it accepted.
TEST_F(Options, EveryRefusedOptionIsReportedAndTheEncoderStillOpens) {
    Context plain("mpeg4");
    AVCodecContext& context = *plain.context;
    context.width = context.height = 64;
    context.pix_fmt = AV_PIX_FMT_YUV420P;
    context.time_base = {1, 25};
    WriterSettings settings;
    settings.quality = 2;
    settings.videoProfile = "High";
    settings.keyFrameInterval = 12;
    settings.vbr = 0;
    settings.videoBitRate = 4000000;
    apply_video_options(keep_message, context, AV_CODEC_ID_H264, "libx264", settings);
    char reason[AV_ERROR_MAX_STRING_SIZE];
    av_strerror(AVERROR_OPTION_NOT_FOUND, reason, sizeof reason);
    std::vector<std::string> expected;
    for (const char* option : {"preset", "keyint_max", "x264-params", "tune"})
        expected.push_back(std::string("QelFFmpegWriter: Error setting libx264-codec option '") + option + "': " + reason);
    expected.push_back(std::string("QelFFmpegWriter: Error setting video codec option 'profile' to 'high': ") + reason);
    EXPECT_EQ(messages_at_least(LOG_ERROR), expected);
    EXPECT_EQ(kept_messages().size(), expected.size());
    EXPECT_EQ(context.max_b_frames, 3);  // the context fields were still set
    EXPECT_EQ(avcodec_open2(&context, plain.codec, nullptr), 0);
}

constexpr int Y422 = AV_PIX_FMT_YUV422P10LE;

TEST_F(Options, ProfileChosenIsTheProfileInTheFile) {
    struct Case {
        std::string encoder, label;
        int format, profile;
    };
    std::vector<Case> cases = {{"libx264", "Baseline", AV_PIX_FMT_YUV420P, AV_PROFILE_H264_BASELINE},
                               {"libx264", "Main", AV_PIX_FMT_YUV420P, AV_PROFILE_H264_MAIN},
                               {"libx264", "High", AV_PIX_FMT_YUV420P, AV_PROFILE_H264_HIGH},
                               {"libx264", "High10", AV_PIX_FMT_YUV420P10LE, AV_PROFILE_H264_HIGH_10},
                               {"libx264", "High422", AV_PIX_FMT_YUV422P, AV_PROFILE_H264_HIGH_422},
                               {"libx264", "High444", AV_PIX_FMT_YUV444P, AV_PROFILE_H264_HIGH_444_PREDICTIVE}};
    // Every ProRes profile the panel offers, in mov, each with the pixels it carries.
    const std::pair<const char*, int> prores[] = {
        {"Proxy", AV_PROFILE_PRORES_PROXY}, {"LT", AV_PROFILE_PRORES_LT}, {"Standard", AV_PROFILE_PRORES_STANDARD},
        {"HQ", AV_PROFILE_PRORES_HQ},       {"4444", AV_PROFILE_PRORES_4444}, {"XQ", AV_PROFILE_PRORES_XQ}};
    for (const char* encoder : {"prores_ks", "prores_aw"})
        for (const auto& [label, profile] : prores)
            cases.push_back({encoder, label, profile >= AV_PROFILE_PRORES_4444 ? AV_PIX_FMT_YUV444P10LE : Y422, profile});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.encoder + " " + c.label);
        const char* container = c.encoder == "libx264" ? "mp4" : "mov";
        WriterSettings s = video_settings(container, c.encoder.c_str(), 64, 64, 4);
        s.vbr = 1;
        s.videoProfile = c.label.c_str();
        s.outPixelFormat = c.format;
        // The slowest preset alone would pick the highest profile the format allows.
        s.quality = 4;
        const probe::File file = write(c.encoder + "_" + c.label + "." + container, s, 3);
        // No ASSERT: the cases after this one still run.
        const probe::Stream* video = file.first(AVMEDIA_TYPE_VIDEO);
        EXPECT_EQ(video ? video->profile & ~AV_PROFILE_H264_CONSTRAINED : -1, c.profile);
        EXPECT_EQ(file.video_frames, 3);
    }
}

struct X264Case {
    const char* name;
    int quality, keyFrameInterval, vbr, bitRate, width, height, frames;
    std::vector<const char*> present, absent;  // in x264's option text
};
void PrintTo(const X264Case& c, std::ostream* out) { *out << c.name; }

class X264Options : public Options, public ::testing::WithParamInterface<X264Case> {};

TEST_P(X264Options, ReachTheStream) {
    const X264Case& c = GetParam();
    WriterSettings s = video_settings("mp4", "libx264", c.width, c.height, 4);
    s.quality = c.quality;
    s.keyFrameInterval = c.keyFrameInterval;
    s.vbr = c.vbr;
    s.videoBitRate = c.bitRate;
    const probe::File file = write("x264.mp4", s, c.frames);
    ASSERT_FALSE(file.x264_options.empty());
    // Tune film and the fixed tuning, including the parts set through x264's own options.
    std::vector<std::string> present{"psy_rd=1.00:0.15", "cabac=1", "ref=3", "subme=7", "me_range=16", "scenecut=40",
                                     "b_adapt=1", "bframes=3", "trellis=1", "qpmin=10", "qpmax=51", "qpstep=4",
                                     "qcomp=0.60", "keyint=" + std::to_string(c.keyFrameInterval)};
    present.insert(present.end(), c.present.begin(), c.present.end());
    for (const std::string& option : present)
        EXPECT_NE((file.x264_options + " ").find(" " + option + " "), std::string::npos) << option << " in " << file.x264_options;
    for (const char* option : c.absent)
        EXPECT_EQ(file.x264_options.find(option), std::string::npos) << option << " in " << file.x264_options;
    ASSERT_EQ(file.keys.size(), size_t(c.frames));
    if (c.vbr) {
        for (int i = 0; i < c.frames; ++i) EXPECT_EQ(file.keys[size_t(i)], i % c.keyFrameInterval == 0) << "frame " << i;
    } else {  // the buffer may move a key frame; the rate holds
        EXPECT_NEAR(double(file.video_bytes) * 8.0 * 25.0 / c.frames, c.bitRate, 0.15 * c.bitRate);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Writer, X264Options,
    ::testing::Values(
        X264Case{"fastest_preset", 0, 12, 1, 0, 128, 96, 4, {"me=dia"}, {}},
        X264Case{"slowest_preset", 4, 12, 1, 0, 128, 96, 4, {"me=umh"}, {}},
        X264Case{"key_every_ten", 2, 10, 1, 0, 128, 96, 40, {}, {}},
        // 1000 kB/s on the panel; the interval still reaches x264, through gop_size.
        X264Case{"constant_rate", 0, 25, 0, 8000000, 320, 240, 100, {"nal_hrd=cbr", "bitrate=8000", "vbv_maxrate=8000"}, {}},
        X264Case{"variable_rate", 0, 12, 1, 2000000, 128, 96, 4, {"rc=abr", "bitrate=2000"}, {"nal_hrd", "vbv_maxrate"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
