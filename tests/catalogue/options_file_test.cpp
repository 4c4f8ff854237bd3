// The chosen profile, preset, tuning and rate control as they end up in the
// written file, read back by FFmpeg's demuxers and decoders.
#include "options_fixture.h"
#include "common/media_probe.h"
#include "common/writer_kit.h"

#include "catalogue/profiles.h"
#include "base/log.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

constexpr double FRAME_RATE = 25.0;

class WrittenOptions : public OptionsTest {
protected:
    void SetUp() override {
        OptionsTest::SetUp();
        av_log_set_level(AV_LOG_ERROR);
        dir = scratch_dir(std::string("options_") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    }

    static WriterSettings settings(const char* container, const char* encoder, int width, int height) {
        WriterSettings s = video_settings(container, encoder, width, height, 4);
        s.vbr = 1;
        return s;
    }

    // Writes `frames` frames through the writer, failing on any warning; the
    // file's path, or "" on failure.
    std::string write(const std::string& name, WriterSettings s, int frames) {
        const std::string path = dir + "/" + name;
        const bool written = writer.open(path.c_str(), &s) && write_frames(writer, frames, s.width, s.height);
        const bool closed = writer.close();
        for (const std::string& problem : messages_at_least(LOG_WARNING)) ADD_FAILURE() << problem;
        return written && closed ? path : "";
    }

    std::string dir;
};

bool has_option(const probe::File& facts, const std::string& option) {
    return (facts.x264_options + " ").find(" " + option + " ") != std::string::npos;
}

}  // namespace

TEST_F(WrittenOptions, Libx264ProfileChosenIsTheProfileInTheFile) {
    struct Case {
        const char* label;
        AVPixelFormat format;
        int profile;
    };
    const Case cases[] = {
        {"Baseline", AV_PIX_FMT_YUV420P, AV_PROFILE_H264_BASELINE},
        {"Main", AV_PIX_FMT_YUV420P, AV_PROFILE_H264_MAIN},
        {"High", AV_PIX_FMT_YUV420P, AV_PROFILE_H264_HIGH},
        {"High10", AV_PIX_FMT_YUV420P10LE, AV_PROFILE_H264_HIGH_10},
        {"High422", AV_PIX_FMT_YUV422P, AV_PROFILE_H264_HIGH_422},
        {"High444", AV_PIX_FMT_YUV444P, AV_PROFILE_H264_HIGH_444_PREDICTIVE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        WriterSettings s = settings("mp4", "libx264", 128, 96);
        s.videoProfile = c.label;
        s.outPixelFormat = c.format;
        // The slowest preset alone would pick the highest profile the format allows.
        s.quality = 4;
        const std::string path = write(std::string(c.label) + ".mp4", s, 5);
        ASSERT_FALSE(path.empty());
        const probe::File facts = probe::read(path);
        ASSERT_TRUE(facts.opened && facts.first(AVMEDIA_TYPE_VIDEO));
        EXPECT_EQ(facts.first(AVMEDIA_TYPE_VIDEO)->profile & ~AV_PROFILE_H264_CONSTRAINED, c.profile);
        EXPECT_EQ(facts.video_frames, 5);
    }
}

TEST_F(WrittenOptions, EveryOfferedProresProfileIsTheProfileInTheFile) {
    for (const char* encoder : {"prores_ks", "prores_aw"}) {
        ChoiceList profiles;
        list_profiles(encoder, profiles);
        ASSERT_FALSE(profiles.empty());
        for (const ChoiceEntry& profile : profiles) {
            SCOPED_TRACE(std::string(encoder) + " " + profile.label);
            WriterSettings s = settings("mov", encoder, 64, 64);
            s.videoProfile = profile.label;
            s.outPixelFormat =
                profile.value >= AV_PROFILE_PRORES_4444 ? AV_PIX_FMT_YUV444P10LE : AV_PIX_FMT_YUV422P10LE;
            const std::string path = write(std::string(encoder) + "_" + std::to_string(profile.value) + ".mov", s, 3);
            ASSERT_FALSE(path.empty());
            const probe::File facts = probe::read(path);
            ASSERT_TRUE(facts.opened && facts.first(AVMEDIA_TYPE_VIDEO));
            EXPECT_EQ(facts.first(AVMEDIA_TYPE_VIDEO)->profile, profile.value);
            EXPECT_EQ(facts.video_frames, 3);
        }
    }
}

TEST_F(WrittenOptions, Libx264PresetTuneAndTuningReachTheStream) {
    for (auto [quality, search] : {std::pair<int, const char*>{0, "me=dia"}, {4, "me=umh"}}) {
        SCOPED_TRACE(quality);
        WriterSettings s = settings("mp4", "libx264", 128, 96);
        s.quality = quality;
        s.keyFrameInterval = 12;
        const std::string path = write("preset" + std::to_string(quality) + ".mp4", s, 4);
        ASSERT_FALSE(path.empty());
        const probe::File facts = probe::read(path);
        ASSERT_FALSE(facts.x264_options.empty());
        EXPECT_TRUE(has_option(facts, search)) << facts.x264_options;
        EXPECT_TRUE(has_option(facts, "psy_rd=1.00:0.15")) << facts.x264_options;  // tune film
        EXPECT_TRUE(has_option(facts, "keyint=12")) << facts.x264_options;
        // The fixed tuning, including the parts set through x264's own options.
        for (const char* tuning : {"cabac=1", "ref=3", "subme=7", "me_range=16", "scenecut=40", "b_adapt=1",
                                   "bframes=3", "trellis=1", "qpmin=10", "qpmax=51", "qpstep=4", "qcomp=0.60"})
            EXPECT_TRUE(has_option(facts, tuning)) << tuning << " in " << facts.x264_options;
    }
}

TEST_F(WrittenOptions, ConstantRateHoldsTheChosenRate) {
    WriterSettings s = settings("mp4", "libx264", 320, 240);
    s.quality = 0;
    s.keyFrameInterval = 25;
    s.vbr = 0;
    s.videoBitRate = 8000000;  // 1000 kB/s on the panel
    const int frames = 100;
    const std::string path = write("cbr.mp4", s, frames);
    ASSERT_FALSE(path.empty());
    const probe::File facts = probe::read(path);
    ASSERT_TRUE(facts.opened);
    EXPECT_TRUE(has_option(facts, "nal_hrd=cbr")) << facts.x264_options;
    EXPECT_TRUE(has_option(facts, "bitrate=8000")) << facts.x264_options;
    EXPECT_TRUE(has_option(facts, "vbv_maxrate=8000")) << facts.x264_options;
    const double seconds = frames / FRAME_RATE;
    const double rate = facts.video_bytes * 8.0 / seconds;
    EXPECT_NEAR(rate, 8e6, 0.15 * 8e6);
    RecordProperty("video_bit_rate", std::to_string(rate));
    // The key-frame interval still reached x264, through gop_size.
    EXPECT_TRUE(has_option(facts, "keyint=25")) << facts.x264_options;
}

TEST_F(WrittenOptions, VariableRateLeavesTheBufferAlone) {
    WriterSettings s = settings("mp4", "libx264", 128, 96);
    s.quality = 0;
    s.vbr = 1;
    s.videoBitRate = 2000000;
    const std::string path = write("vbr.mp4", s, 4);
    ASSERT_FALSE(path.empty());
    const probe::File facts = probe::read(path);
    ASSERT_FALSE(facts.x264_options.empty());
    EXPECT_TRUE(has_option(facts, "rc=abr")) << facts.x264_options;
    EXPECT_TRUE(has_option(facts, "bitrate=2000")) << facts.x264_options;
    EXPECT_EQ(facts.x264_options.find("nal_hrd"), std::string::npos) << facts.x264_options;
    EXPECT_EQ(facts.x264_options.find("vbv_maxrate"), std::string::npos) << facts.x264_options;
    EXPECT_EQ(facts.x264_options.find("vbv_bufsize"), std::string::npos) << facts.x264_options;
}

TEST_F(WrittenOptions, KeyFrameIntervalGivesAKeyFrameEveryTenFrames) {
    WriterSettings s = settings("mp4", "libx264", 128, 96);
    s.quality = 2;
    s.keyFrameInterval = 10;
    const int frames = 40;
    const std::string path = write("keyint.mp4", s, frames);
    ASSERT_FALSE(path.empty());
    const probe::File facts = probe::read(path);
    ASSERT_EQ(facts.keys.size(), size_t(frames));
    for (int i = 0; i < frames; ++i) EXPECT_EQ(facts.keys[i], i % 10 == 0) << "frame " << i;
    EXPECT_TRUE(has_option(facts, "keyint=10")) << facts.x264_options;
}
