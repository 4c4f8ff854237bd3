// Opening an output: what is refused, what is corrected, and what the file
// and the encoder end up with.
#include "support.h"

#include "common/fd_count.h"

#include "standin.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <string>

using namespace writer_test;

namespace {

class Open : public ::testing::Test {
protected:
    void SetUp() override {
        clear_messages();
        writer.m_logCallback = keep_message;
    }
    void write_frames(int count, const char* timecode = "10:00:00:00") {
        ASSERT_TRUE(::write_frames(writer, count, 64, 48, 4, timecode));
    }

    FFWriter writer;
};

TEST_F(Open, PictureSizeLimits) {
    const std::string dir = scratch_dir("sizes");
    struct Case {
        int width, height;
        const char* message;
    };
    const Case refused[] = {{8193, 8192, "QelFFmpegWriter: invalid image dimensions"},
                            {8192, 8194, "QelFFmpegWriter: invalid image dimensions"},
                            {0, 48, "QelFFmpegWriter: invalid image dimensions"},
                            {64, 0, "QelFFmpegWriter: invalid image dimensions"},
                            {-2, 48, "QelFFmpegWriter: invalid image dimensions"},
                            {1921, 1080, "QelFFmpegWriter: width and height must be multiples of 2"},
                            {1920, 1081, "QelFFmpegWriter: width and height must be multiples of 2"}};
    for (const Case& c : refused) {
        clear_messages();
        WriterSettings settings = video_settings("nut", "rawvideo", c.width, c.height, 3);
        const std::string path = dir + "/refused.nut";
        EXPECT_FALSE(writer.open(path.c_str(), &settings)) << c.width << "x" << c.height;
        EXPECT_TRUE(logged(c.message, LOG_ERROR)) << c.width << "x" << c.height;
        EXPECT_FALSE(writer.isOpen());
        EXPECT_FALSE(file_exists(path));
    }

    clear_messages();
    WriterSettings settings = video_settings("nut", "rawvideo", 8192, 8192, 3);
    settings.outPixelFormat = AV_PIX_FMT_GRAY8;
    const std::string path = dir + "/largest.nut";
    ASSERT_TRUE(writer.open(path.c_str(), &settings));
    EXPECT_EQ(count_logged("QelFFmpegWriter: "), 0);
    EXPECT_TRUE(writer.close());
    EXPECT_TRUE(file_exists(path));
}

TEST_F(Open, FrameRateBelowOneTenthBecomes24) {
    const std::string dir = scratch_dir("framerate");
    WriterSettings settings = video_settings("mov", "libx264", 64, 48, 4);
    settings.frameRate = 0.05;
    ASSERT_TRUE(writer.open((dir + "/slow.mov").c_str(), &settings));
    EXPECT_TRUE(logged("QelFFmpegWriter: invalid video framerate, forcing 24 fps", LOG_WARNING));
    EXPECT_EQ(av_q2d(writer.videoCodecContext()->time_base), 1.0 / 24.0);
    write_frames(3);
    writer.close();
    const probe::File file = decode_file(dir + "/slow.mov");
    EXPECT_EQ(file.frames.size(), 3u);

    clear_messages();
    settings.frameRate = 0.1;
    ASSERT_TRUE(writer.open((dir + "/tenth.mov").c_str(), &settings));
    EXPECT_EQ(count_logged("framerate"), 0);
    EXPECT_EQ(writer.videoCodecContext()->time_base.num * 100, writer.videoCodecContext()->time_base.den * 1000);
    writer.close();
}

TEST_F(Open, NoStreamsIsRefusedByTheMuxerAndLeavesNoDescriptor) {
    const std::string dir = scratch_dir("nostreams");
    const int before = open_descriptors();

    // No encoder names at all: no picture checks, and no stream to write.
    WriterSettings empty;
    empty.containerName = "mov";
    EXPECT_FALSE(writer.open((dir + "/empty.mov").c_str(), &empty));
    EXPECT_EQ(count_logged("QelFFmpegWriter: Error occurred when opening output file: "), 1);
    EXPECT_EQ(count_logged("image dimensions"), 0);
    EXPECT_FALSE(writer.isOpen());
    EXPECT_EQ(open_descriptors(), before);

    // An encoder this FFmpeg does not have drops the video without a word.
    clear_messages();
    WriterSettings unknown = video_settings("mov", "no-such-encoder", 64, 48, 4);
    EXPECT_FALSE(writer.open((dir + "/unknown.mov").c_str(), &unknown));
    EXPECT_FALSE(writer.hasVideo());
    ASSERT_EQ(kept_messages().size(), 1u);
    EXPECT_EQ(count_logged("Error occurred when opening output file"), 1);
    EXPECT_EQ(open_descriptors(), before);

    // The writer is as good as new afterwards.
    WriterSettings settings = video_settings("mov", "libx264", 64, 48, 4);
    ASSERT_TRUE(writer.open((dir + "/after.mov").c_str(), &settings));
    write_frames(2);
    writer.close();
    EXPECT_EQ(decode_file(dir + "/after.mov").frames.size(), 2u);
    EXPECT_EQ(open_descriptors(), before);
}

TEST_F(Open, AudioOnlySettingsSkipThePictureChecks) {
    const std::string dir = scratch_dir("audioonly");
    WriterSettings settings;
    settings.containerName = "mov";
    settings.audioCodecName = "pcm_s16le";
    settings.channels = 2;
    settings.inSampleRate = 48000;
    settings.inSampleFormat = settings.outSampleFormat = AV_SAMPLE_FMT_S16;
    writer.open((dir + "/sound.mov").c_str(), &settings);
    EXPECT_EQ(count_logged("image dimensions"), 0);
    EXPECT_EQ(count_logged("multiples of 2"), 0);
    EXPECT_FALSE(writer.hasVideo());
    const std::vector<uint16_t> picture = host_picture(64, 48, 4, 0);
    EXPECT_FALSE(writer.writeVideoFrame(picture.data(), nullptr, 0, true, nullptr));
    EXPECT_TRUE(writer.close());
}

TEST_F(Open, RefusedEncoderSettingsAreReportedAndReleased) {
    struct Case {
        const char* container;
        const char* codec;
        int outPixelFormat;
        const char* profile;
        double frameRate;
        const char* message;
    };
    const Case refused[] = {
        {"mov", "libx264", AV_PIX_FMT_RGBA64LE, nullptr, 25, "QelFFmpegWriter: failed to open encoder: "},
        // A stored project may pair a profile with pixels it does not describe.
        {"mov", "prores_ks", AV_PIX_FMT_YUV422P10LE, "4444", 25,
         "QelFFmpegWriter: the prores_ks profile 4444 needs a 4:4:4 pixel format, not yuv422p10le"},
        {"mov", "prores_aw", AV_PIX_FMT_YUV444P10LE, "HQ", 25,
         "QelFFmpegWriter: the prores_aw profile HQ needs a 4:2:2 pixel format, not yuv444p10le"},
        {"mov", "dnxhd", AV_PIX_FMT_YUV422P10LE, "DNXHR 444", 25,
         "QelFFmpegWriter: the dnxhd profile DNXHR 444 needs a 4:4:4 pixel format, not yuv422p10le"},
        {"mxf", "mpeg2video", AV_PIX_FMT_NONE, nullptr, 12.5, "QelFFmpegWriter: MXF takes MPEG-2, DNxHD/DNxHR"},
    };
    const std::string dir = scratch_dir("badencoder");
    for (const Case& c : refused) {
        SCOPED_TRACE(std::string(c.codec) + " " + (c.profile ? c.profile : ""));
        clear_messages();
        WriterSettings settings = video_settings(c.container, c.codec, 64, 48, 4);
        settings.outPixelFormat = c.outPixelFormat;
        settings.videoProfile = c.profile;
        settings.frameRate = c.frameRate;
        const std::string path = dir + "/bad." + c.container;
        EXPECT_FALSE(writer.open(path.c_str(), &settings));
        EXPECT_EQ(count_logged(c.message), 1) << c.message;
        EXPECT_EQ(writer.videoCodecContext(), nullptr);
        EXPECT_EQ(writer.formatContext(), nullptr);
        // Only the muxer's refusal comes after the file was made.
        if (std::strcmp(c.container, "mxf") != 0) {
            EXPECT_FALSE(file_exists(path));
        }
    }
}

TEST_F(Open, MetadataFollowsTheHostSwitch) {
    const std::string dir = scratch_dir("metadata");
    const MetadataPair pairs[] = {{"title", "Take 3"}, {"project", "Alpha"}, {"project", "Beta"}};
    WriterSettings settings = video_settings("matroska", "libx264", 64, 48, 4);
    settings.metadataPairs = pairs;
    settings.metadataCount = 3;

    ASSERT_TRUE(writer.open((dir + "/tagged.mkv").c_str(), &settings));
    write_frames(2);
    writer.close();
    probe::File file = decode_file(dir + "/tagged.mkv");
    EXPECT_EQ(file.container_tag("title"), "Take 3");
    EXPECT_EQ(file.container_tag("project"), "Beta");
    EXPECT_EQ(file.video_tag("encoder"), WRITER_ENCODER_TAG);
    EXPECT_EQ(file.video_tag("timecode"), "01:00:00:00");

    settings.noMetadata = true;
    ASSERT_TRUE(writer.open((dir + "/plain.mkv").c_str(), &settings));
    write_frames(2);
    writer.close();
    file = decode_file(dir + "/plain.mkv");
    EXPECT_EQ(file.container_tag("title"), "");
    EXPECT_EQ(file.container_tag("project"), "");
    EXPECT_EQ(file.video_tag("encoder"), "");
    EXPECT_EQ(file.video_tag("timecode"), "01:00:00:00");

    // Without a timecode no tag or track is written, and the frames still are.
    settings.timecode = nullptr;
    settings.containerName = "mov";
    ASSERT_TRUE(writer.open((dir + "/notimecode.mov").c_str(), &settings));
    write_frames(5, nullptr);
    writer.close();
    file = decode_file(dir + "/notimecode.mov");
    EXPECT_TRUE(file.errors.empty()) << file.error_text();
    EXPECT_EQ(file.frames.size(), 5u);
    EXPECT_EQ(file.tag("timecode"), "");
}

TEST(TempFileName, ExtensionOfTheFileNameOnlyAndRefusedWhenItWouldNotFit) {
    char temp[PATH_SIZE];
    const std::pair<const char*, const char*> cases[] = {
        {"C:\\a.b\\clip.mov", "C:\\a.b\\clip_SlowStart.mov"},
        {"C:\\a.b\\clip", "C:\\a.b\\clip_SlowStart.mov"},
        {"/renders/v1.2/clip", "/renders/v1.2/clip_SlowStart.mov"},
        {"/renders/clip.final.mp4", "/renders/clip.final_SlowStart.mov"},
        {"clip", "clip_SlowStart.mov"},
        {"/renders/v1.2\\clip", "/renders/v1.2\\clip_SlowStart.mov"},
    };
    for (const auto& [path, expected] : cases) {
        ASSERT_TRUE(FFWriter::makeTempFileName(path, temp)) << path;
        EXPECT_STREQ(temp, expected);
    }
    // 245 characters before the dot: the temporary name takes all 259.
    ASSERT_TRUE(FFWriter::makeTempFileName(("/" + std::string(244, 'a') + ".mov").c_str(), temp));
    EXPECT_EQ(std::strlen(temp), 259u);
    EXPECT_FALSE(FFWriter::makeTempFileName(("/" + std::string(245, 'a') + ".mov").c_str(), temp));
    EXPECT_FALSE(FFWriter::makeTempFileName(("/" + std::string(250, 'a')).c_str(), temp));
    EXPECT_STREQ(temp, "");
}

TEST_F(Open, TooLongTemporaryPathFailsClearly) {
    const std::string dir = scratch_dir("longpath");
    std::string path = dir + "/";
    path += std::string(258 - path.size() - 4, 'c') + ".mov";
    ASSERT_EQ(path.size(), 258u);
    WriterSettings settings = video_settings("mov", "libx264", 64, 48, 4);
    settings.fastStart = true;
    EXPECT_FALSE(writer.open(path.c_str(), &settings));
    ASSERT_EQ(kept_messages().size(), 1u);
    EXPECT_EQ(kept_messages()[0].level, LOG_ERROR);
    EXPECT_EQ(kept_messages()[0].text.rfind("QelFFmpegWriter: ", 0), 0u);
    EXPECT_TRUE(std::filesystem::is_empty(dir));

    // Without faststart the same path is fine.
    settings.fastStart = false;
    ASSERT_TRUE(writer.open(path.c_str(), &settings));
    writer.close();
    EXPECT_TRUE(file_exists(path));
}

TEST_F(Open, FaststartWritesBesideTheOutputThenTakesItsName) {
    const std::string dir = scratch_dir("faststart");
    WriterSettings settings = video_settings("mp4", "libx264", 64, 48, 4);
    settings.fastStart = true;
    // The folder chain is made; dots in it are no extension.
    const std::string finalPath = dir + "/one/two/v1.0/clip.mp4";
    ASSERT_TRUE(writer.open(finalPath.c_str(), &settings));
    EXPECT_TRUE(writer.usesTempFile());
    EXPECT_EQ(std::string(writer.tempFileName()), dir + "/one/two/v1.0/clip_SlowStart.mov");
    EXPECT_TRUE(file_exists(writer.tempFileName()));
    EXPECT_FALSE(file_exists(finalPath));
    write_frames(3);
    writer.close();
    EXPECT_STREQ(writer.fileName(), "");
    EXPECT_STREQ(writer.tempFileName(), "");
    EXPECT_TRUE(file_exists(finalPath));
    EXPECT_FALSE(file_exists(dir + "/one/two/v1.0/clip_SlowStart.mov"));
    EXPECT_EQ(decode_file(finalPath).frames.size(), 3u);

    // Without an extension the output still gets faststart's temporary file.
    const std::string bare = dir + "/one/two/v1.0/clip";
    settings.containerName = "mov";
    ASSERT_TRUE(writer.open(bare.c_str(), &settings));
    EXPECT_EQ(std::string(writer.tempFileName()), bare + "_SlowStart.mov");
    write_frames(2);
    writer.close();
    EXPECT_EQ(decode_file(bare).frames.size(), 2u);
    EXPECT_FALSE(file_exists(bare + "_SlowStart.mov"));

    // Only mov and mp4 by their exact names get faststart.
    settings.containerName = "matroska";
    ASSERT_TRUE(writer.open((dir + "/clip.mkv").c_str(), &settings));
    EXPECT_FALSE(writer.usesTempFile());
    writer.close();
}

TEST(RateControl, SaturatesInsteadOfOverflowing) {
    // 268435 kB/s with a GOP of 50 would be 4.3e9 bits.
    EXPECT_EQ(FFWriter::cbrBufferSize({1000, 25000}, 268435LL * 8000, 50), INT32_MAX);
    // A frame larger than the int32 range still ends at the maximum, at once.
    EXPECT_EQ(FFWriter::cbrBufferSize({1000, 100}, INT32_MAX, 1), INT32_MAX);
    EXPECT_EQ(FFWriter::cbrBufferSize({1000, 100}, 300000000, 0), INT32_MAX);
    EXPECT_EQ(FFWriter::cbrBufferSize({1000, 25000}, 8000000, INT32_MAX), INT32_MAX);
}

TEST_F(Open, ConstantRateReachesTheEncoder) {
    const std::string dir = scratch_dir("ratecontrol");
    WriterSettings settings = video_settings("mpegts", "mpeg2video", 64, 48, 4);
    settings.videoBitRate = 1000000;
    settings.keyFrameInterval = 300;
    ASSERT_TRUE(writer.open((dir + "/cbr.ts").c_str(), &settings));
    const AVCodecContext* context = writer.videoCodecContext();
    EXPECT_EQ(context->rc_buffer_size, 12000300);
    EXPECT_EQ(context->rc_max_rate, 1000000);
    EXPECT_EQ(context->rc_min_rate, 1000000);
    EXPECT_TRUE(
        logged("QelFFmpegWriter: WARNING: bitrate mode will be set to VBR as the specified bitrate too large "
               "(buffer too large)!",
               LOG_WARNING));
    write_frames(5);
    writer.close();
    EXPECT_EQ(decode_file(dir + "/cbr.ts").frames.size(), 5u);

    clear_messages();
    settings.vbr = 1;
    ASSERT_TRUE(writer.open((dir + "/vbr.ts").c_str(), &settings));
    EXPECT_EQ(writer.videoCodecContext()->bit_rate, 1000000);
    EXPECT_EQ(writer.videoCodecContext()->rc_max_rate, 0);
    EXPECT_EQ(count_logged("bitrate mode"), 0);
    writer.close();
}

}  // namespace
