// Opening an output: what is refused, what is corrected, and what the file
// and the encoder end up with.
#include "support.h"

#include "common/fd_count.h"

#include "standin.h"
#include "writer/encoder/rate_control.h"
#include "writer/movie_file/output_path.h"

#include <climits>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>

using namespace writer_test;

namespace {

class Open : public ::testing::Test {
protected:
    void SetUp() override { clear_messages(); }
    FFWriter writer{keep_message};
};

struct Refusal {
    const char* name;
    const char* container;
    const char* codec;  // nullptr: no encoder named at all
    int width, height, outPixelFormat;
    const char* profile;
    double frameRate;
    const char* message;  // the last message at error level starts with it
    size_t messages = 1;  // in all
    const char* audioCodec = nullptr;  // beside 48 kHz host sound in these channels, as this format
    int channels = 2;
    AVSampleFormat sampleFormat = AV_SAMPLE_FMT_NONE;
    int32_t colour = COLOUR_REC709;
};
void PrintTo(const Refusal& c, std::ostream* out) { *out << c.name; }

const char* const DIMENSIONS = "QelFFmpegWriter: invalid image dimensions";
const char* const EVEN = "QelFFmpegWriter: width and height must be multiples of 2";
const char* const NOT_OPENED = "QelFFmpegWriter: Error occurred when opening output file: ";
const char* const P4444 = "QelFFmpegWriter: the prores_ks profile 4444 cannot carry yuv422p10le pictures: they need the profile HQ";
const char* const PHQ = "QelFFmpegWriter: the prores_aw profile HQ cannot carry yuv444p10le pictures: they need the profile 4444";
const char* const DNX444 = "QelFFmpegWriter: the dnxhd profile DNXHR 444 cannot carry yuv422p10le pictures: they need the profile DNXHR HQX";
constexpr int Y422 = AV_PIX_FMT_YUV422P10LE, Y444 = AV_PIX_FMT_YUV444P10LE;
// Pixels rawvideo stores but libswscale cannot make (palettes the writer makes
// itself): the refusal comes after the file was opened.
const int UNCONVERTIBLE = [] {
    for (const AVPixFmtDescriptor* d = nullptr; (d = av_pix_fmt_desc_next(d));)
        if (!(d->flags & (AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_PAL)) &&
            !sws_isSupportedOutput(av_pix_fmt_desc_get_id(d)))
            return int(av_pix_fmt_desc_get_id(d));
    return int(AV_PIX_FMT_NONE);
}();
const Refusal REFUSALS[] = {
    {"wider_than_8192", "nut", "rawvideo", 8193, 8192, -1, nullptr, 25, DIMENSIONS},
    {"no_width", "nut", "rawvideo", 0, 48, -1, nullptr, 25, DIMENSIONS},
    {"negative_width", "nut", "rawvideo", -2, 48, -1, nullptr, 25, DIMENSIONS},
    {"odd_width", "nut", "rawvideo", 1921, 1080, -1, nullptr, 25, EVEN},
    {"odd_height", "nut", "rawvideo", 1920, 1081, -1, nullptr, 25, EVEN},
    // No encoder named: no picture checks and no stream for the muxer,
    // whose own refusal comes after the file was made: it goes again. One
    // this FFmpeg lacks is named and refused.
    {"no_encoder", "mov", nullptr, 0, 0, -1, nullptr, 25, NOT_OPENED},
    {"unknown_encoder", "mov", "no-such-encoder", 64, 48, -1, nullptr, 25,
     "QelFFmpegWriter: this FFmpeg has no video encoder no-such-encoder; the output is not written"},
    {"pixels_the_encoder_refuses", "mov", "libx264", 64, 48, AV_PIX_FMT_RGBA64LE, nullptr, 25,
     "QelFFmpegWriter: failed to open encoder: "},
    {"pixels_swscale_cannot_make", "nut", "rawvideo", 64, 48, UNCONVERTIBLE, nullptr, 25,
     "QelFFmpegWriter: Failed to initialize conversion context"},
    // A stored project may pair a profile with pixels it does not describe.
    {"prores_4444_on_422", "mov", "prores_ks", 64, 48, Y422, "4444", 25, P4444},
    {"prores_hq_on_444", "mov", "prores_aw", 64, 48, Y444, "HQ", 25, PHQ},
    {"dnxhr_444_on_422", "mov", "dnxhd", 64, 48, Y422, "DNXHR 444", 25, DNX444},
    {"x264_high_on_422", "mov", "libx264", 64, 48, AV_PIX_FMT_YUV422P, "High", 25,
     "QelFFmpegWriter: the libx264 profile High cannot carry yuv422p pictures: they need the profile High422"},
    {"x264_main_on_10_bits", "mov", "libx264", 64, 48, AV_PIX_FMT_YUV420P10LE, "Main", 25,
     "QelFFmpegWriter: the libx264 profile Main cannot carry yuv420p10le pictures: they need the profile High10"},
    {"vp9_profile_2_on_8_bits", "matroska", "libvpx-vp9", 64, 48, AV_PIX_FMT_YUV420P, "Profile 2", 25,
     "QelFFmpegWriter: the libvpx-vp9 profile Profile 2 cannot carry yuv420p pictures: they need the profile Profile 0"},
    // And a Rec.2100 transfer with pixels too shallow for it.
    {"pq_on_8_bits", "mp4", "libx265", 64, 48, AV_PIX_FMT_YUV420P, nullptr, 25,
     "QelFFmpegWriter: Rec.2100 PQ pictures need 10 bits or more: yuv420p has 8", 1, nullptr, 2, AV_SAMPLE_FMT_NONE,
     COLOUR_PQ},
    {"mxf_rate", "mxf", "mpeg2video", 64, 48, -1, nullptr, 12.5, "QelFFmpegWriter: MXF takes MPEG-2, DNxHD/DNxHR", 2},
    // aac takes no packed 16-bit samples; nine host channels have no named
    // layout (ten became 5.1.4 in 7.1) and alac takes at most eight.
    {"aac_packed_samples", "mp4", "mpeg4", 64, 48, -1, nullptr, 25,
     "QelFFmpegWriter: audio encoder does not support sample format: s16", 1, "aac", 2, AV_SAMPLE_FMT_S16},
    {"alac_nine_channels", "mov", "mpeg4", 64, 48, -1, nullptr, 25,
     "QelFFmpegWriter: Failed to initialize audio conversion context. ", 2, "alac", 9, AV_SAMPLE_FMT_S16P},
    // DNxHD at a size it has no rate for: one sentence naming what it takes.
    {"dnxhd_size_without_rate", "mov", "dnxhd", 1000, 500, AV_PIX_FMT_YUV422P, "DNXHD", 25,
     "QelFFmpegWriter: DNxHD codes no 1000x500 yuv422p pictures: it takes 1920x1080 and 1280x720"},
};

class OpenRefused : public ::testing::TestWithParam<Refusal> {};

TEST_P(OpenRefused, ReportsWhyAndLeavesNothingOpen) {
    const Refusal& c = GetParam();
    const std::string dir = scratch_dir(std::string("refused_") + c.name);
    const int before = open_descriptors();
    FFWriter writer(keep_message);
    clear_messages();
    WriterSettings settings = video_settings(c.container, c.codec, c.width, c.height, 3);
    settings.outPixelFormat = c.outPixelFormat;
    settings.videoProfile = c.profile;
    settings.frameRate = c.frameRate;
    settings.audioCodecName = c.audioCodec;
    settings.channels = c.channels;
    settings.inSampleRate = 48000;
    settings.inSampleFormat = AV_SAMPLE_FMT_S16;
    settings.outSampleFormat = c.sampleFormat;
    settings.colour = c.colour;
    const std::string earlier = dir + "/out." + c.container;
    { std::ofstream(earlier) << "an earlier take"; }
    EXPECT_FALSE(writer.open(earlier.c_str(), settings));
    ASSERT_EQ(kept_messages().size(), c.messages) << last_message();
    const std::vector<std::string> errors = messages_at_least(LOG_ERROR);
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.back().rfind(c.message, 0), 0u) << errors.back();
    // An encoder this FFmpeg lacks drops the video; a refused one keeps it.
    EXPECT_EQ(writer.hasVideo(), c.codec && avcodec_find_encoder_by_name(c.codec));
    EXPECT_EQ(writer.videoCodecContext(), nullptr);
    EXPECT_EQ(writer.formatContext(), nullptr);
    // Nothing is left, and the earlier take is as it was.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()), 1);
    std::ostringstream kept;
    kept << std::ifstream(earlier).rdbuf();
    EXPECT_EQ(kept.str(), "an earlier take");
    EXPECT_EQ(open_descriptors(), before);
    // The writer is as good as new afterwards.
    EXPECT_EQ(write_clip(writer, dir + "/after.mov", video_settings("mov", "libx264", 64, 48, 4), 2).frames.size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Writer, OpenRefused, ::testing::ValuesIn(REFUSALS),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Open, LargestPictureAndAudioOnlySettingsAreTakenWithoutAWord) {
    const std::string dir = scratch_dir("taken");
    WriterSettings settings = video_settings("nut", "rawvideo", 8192, 8192, 3);
    settings.outPixelFormat = AV_PIX_FMT_GRAY8;
    ASSERT_TRUE(writer.open((dir + "/largest.nut").c_str(), settings));
    EXPECT_TRUE(kept_messages().empty()) << last_message();
    EXPECT_TRUE(writer.close());
    clear_messages();  // closed without a frame: it says no file is left
    // No video encoder: no picture checks, and pictures are refused.
    WriterSettings sound;
    sound.containerName = "mov";
    sound.audioCodecName = "pcm_s16le";
    sound.channels = 2;
    sound.inSampleRate = 48000;
    sound.inSampleFormat = sound.outSampleFormat = AV_SAMPLE_FMT_S16;
    ASSERT_TRUE(writer.open((dir + "/sound.mov").c_str(), sound));
    EXPECT_TRUE(messages_at_least(LOG_WARNING).empty()) << last_message();
    EXPECT_FALSE(writer.writeVideoFrame(host_picture(64, 48, 4, 0).data(), nullptr, 0, true, nullptr));
    EXPECT_TRUE(writer.close());
}

TEST_F(Open, FrameRateBelowOneTenthBecomes24) {
    const std::string dir = scratch_dir("framerate");
    WriterSettings settings = video_settings("mov", "libx264", 64, 48, 4);
    for (const double rate : {0.05, 0.1}) {
        clear_messages();
        settings.frameRate = rate;
        ASSERT_TRUE(writer.open((dir + "/slow.mov").c_str(), settings));
        EXPECT_EQ(logged("QelFFmpegWriter: invalid video framerate, forcing 24 fps", LOG_WARNING), rate < 0.1);
        EXPECT_EQ(av_q2d(writer.videoCodecContext()->time_base), rate < 0.1 ? 1.0 / 24.0 : 10.0);
        ASSERT_TRUE(write_frames(writer, 3));
        writer.close();
        EXPECT_EQ(decode_file(dir + "/slow.mov").frames.size(), 3u);
    }
}

TEST_F(Open, MetadataFollowsTheHostSwitch) {
    const std::string dir = scratch_dir("metadata");
    const MetadataPair pairs[] = {{"title", "Take 3"}, {"project", "Alpha"}, {"project", "Beta"}};
    WriterSettings settings = video_settings("matroska", "libx264", 64, 48, 4);
    settings.metadataPairs = pairs;
    settings.metadataCount = 3;
    // The last of two pairs with one key wins; the switch drops the host's
    // pairs and the encoder tag, not the timecode.
    for (bool withMetadata : {true, false}) {
        settings.noMetadata = !withMetadata;
        const probe::File file = write_clip(writer, dir + (withMetadata ? "/tagged.mkv" : "/plain.mkv"), settings, 2,
                                            "10:00:00:00");
        EXPECT_EQ(file.container_tag("title"), withMetadata ? "Take 3" : "");
        EXPECT_EQ(file.container_tag("project"), withMetadata ? "Beta" : "");
        EXPECT_EQ(file.video_tag("encoder"), withMetadata ? WRITER_ENCODER_TAG : "");
        EXPECT_EQ(file.video_tag("timecode"), "01:00:00:00");
    }
    // Without a timecode no tag or track is written, and the frames still are.
    settings.timecode = nullptr;
    settings.containerName = "mov";
    const probe::File file = write_clip(writer, dir + "/notimecode.mov", settings, 5, nullptr);
    EXPECT_TRUE(file.errors.empty()) << file.error_text();
    EXPECT_EQ(file.frames.size(), 5u);
    EXPECT_EQ(file.tag("timecode"), "");
    EXPECT_EQ(file.streams.size(), 1u);
}

TEST(UnfinishedName, TheFileNamesOwnExtensionStaysAndLaterAttemptsAreNumbered) {
    const std::tuple<std::string, int, std::string> cases[] = {
        {"C:\\a.b\\clip.mov", 1, "C:\\a.b\\clip_Unfinished.mov"},
        {"C:\\a.b\\clip", 1, "C:\\a.b\\clip_Unfinished"},
        {"/renders/v1.2/clip", 1, "/renders/v1.2/clip_Unfinished"},
        {"/renders/clip.final.mp4", 1, "/renders/clip.final_Unfinished.mp4"},
        {"/renders/v1.2\\clip", 1, "/renders/v1.2\\clip_Unfinished"},
        {"clip.mov", 2, "clip_Unfinished-2.mov"},
        {"clip", 12, "clip_Unfinished-12"},
    };
    for (const auto& [path, attempt, expected] : cases) EXPECT_EQ(unfinished_name(path, attempt), expected) << path;
}

TEST_F(Open, EveryOutputIsWrittenBesideItsNameAndTakesItWhenFinished) {
    const std::string dir = scratch_dir("faststart");
    WriterSettings settings = video_settings("mp4", "libx264", 64, 48, 4);
    settings.fastStart = true;
    // The folder chain is made; dots in it are no extension. Only mov and mp4
    // by their exact names get faststart.
    const std::string folder = dir + "/one/two/v1.0/";
    const std::tuple<const char*, const char*, const char*, bool> cases[] = {
        {"mp4", "clip.mp4", "clip_Unfinished.mp4", true},
        {"mov", "clip", "clip_Unfinished", true},
        {"matroska", "clip.mkv", "clip_Unfinished.mkv", false},
    };
    for (const auto& [container, name, unfinished, fastStart] : cases) {
        settings.containerName = container;
        ASSERT_TRUE(writer.open((folder + name).c_str(), settings));
        EXPECT_EQ(std::string(writer.tempFileName()), folder + unfinished);
        EXPECT_EQ(writer.fastStart(), fastStart);
        EXPECT_TRUE(file_exists(folder + unfinished) && !file_exists(folder + name));
        ASSERT_TRUE(write_frames(writer, 3));
        writer.close();
        EXPECT_STREQ(writer.fileName(), "");
        EXPECT_STREQ(writer.tempFileName(), "");
        EXPECT_FALSE(file_exists(folder + unfinished));
        EXPECT_EQ(decode_file(folder + name).frames.size(), 3u);
    }
}

TEST(RateControl, SaturatesInsteadOfOverflowing) {
    // 268435 kB/s with a GOP of 50 would be 4.3e9 bits; a frame past the
    // int32 range ends at the maximum at once.
    const std::tuple<int, int64_t, int32_t> cases[] = {
        {25000, 268435LL * 8000, 50}, {100, INT32_MAX, 1}, {100, 300000000, 0}, {25000, 8000000, INT32_MAX}};
    for (const auto& [rate, bits, gop] : cases)
        EXPECT_EQ(cbr_buffer_size({1000, rate}, bits, gop), INT32_MAX) << bits;
}

TEST_F(Open, ConstantRateReachesTheEncoder) {
    const std::string dir = scratch_dir("ratecontrol");
    WriterSettings settings = video_settings("mpegts", "mpeg2video", 64, 48, 4);
    settings.videoBitRate = 1000000;
    settings.keyFrameInterval = 300;
    ASSERT_TRUE(writer.open((dir + "/cbr.ts").c_str(), settings));
    const AVCodecContext* context = writer.videoCodecContext();
    EXPECT_EQ(context->rc_buffer_size, 12000300);
    EXPECT_TRUE(context->rc_max_rate == 1000000 && context->rc_min_rate == 1000000) << context->rc_min_rate;
    EXPECT_EQ(count_logged("bitrate mode will be set to VBR as the specified bitrate too large", LOG_WARNING), 1);
    ASSERT_TRUE(write_frames(writer, 5));
    writer.close();
    EXPECT_EQ(decode_file(dir + "/cbr.ts").frames.size(), 5u);
}

}  // namespace
