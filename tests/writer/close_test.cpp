// Closing and the life of one writer over several outputs.
#include "support.h"

#include <gtest/gtest.h>

#include "common/fd_count.h"

using namespace writer_test;

namespace {

TEST(Close, NeverOpenedOrTwice) {
    FFWriter writer;
    EXPECT_TRUE(writer.close());
    const std::string dir = scratch_dir("closetwice");
    WriterSettings settings = video_settings("mov", "libx264", 64, 48, 4);
    ASSERT_TRUE(writer.open((dir + "/clip.mov").c_str(), &settings));
    ASSERT_TRUE(write_frames(writer, 3));
    EXPECT_TRUE(writer.close());
    EXPECT_TRUE(writer.close());
    EXPECT_FALSE(writer.isOpen());
    EXPECT_EQ(decode_file(dir + "/clip.mov").frames.size(), 3u);
    const std::vector<uint16_t> picture = host_picture(64, 48, 4, 0);
    EXPECT_FALSE(writer.writeVideoFrame(picture.data(), nullptr, 0, false, nullptr));
}

TEST(Close, ReopenStartsCountingAgain) {
    FFWriter writer;
    writer.m_logCallback = keep_message;
    const std::string dir = scratch_dir("reopen");
    WriterSettings settings = video_settings("mov", "prores_ks", 64, 48, 3);
    ASSERT_TRUE(writer.open((dir + "/first.mov").c_str(), &settings));
    ASSERT_TRUE(write_frames(writer, 7, 64, 48, 3));
    EXPECT_EQ(writer.videoFrameCount(), 7);
    writer.close();

    clear_messages();
    settings.containerName = "matroska";
    ASSERT_TRUE(writer.open((dir + "/second.mkv").c_str(), &settings));
    EXPECT_EQ(writer.videoFrameCount(), 0);
    EXPECT_EQ(writer.audioSampleCount(), 0);
    ASSERT_TRUE(write_frames(writer, 4, 64, 48, 3));
    writer.close();
    // An intra-only encoder gives one packet per frame, each reported.
    EXPECT_EQ(count_logged("QelFFmpegWriter: Write frame (size="), 4);

    const probe::File first = decode_file(dir + "/first.mov");
    const probe::File second = decode_file(dir + "/second.mkv");
    EXPECT_EQ(first.frames.size(), 7u);
    ASSERT_EQ(second.frames.size(), 4u);
    EXPECT_EQ(second.frames[0].pts, 0);
}

TEST(Close, DestroyingAnOpenWriterFinishesTheFile) {
    const std::string dir = scratch_dir("destroy");
    const int before = open_descriptors();
    {
        FFWriter writer;
        WriterSettings settings = video_settings("mp4", "libx264", 64, 48, 4);
        settings.fastStart = true;
        ASSERT_TRUE(writer.open((dir + "/clip.mp4").c_str(), &settings));
        ASSERT_TRUE(write_frames(writer, 12));
    }
    EXPECT_EQ(open_descriptors(), before);
    const probe::File file = decode_file(dir + "/clip.mp4");
    EXPECT_TRUE(file.errors.empty()) << file.error_text();
    EXPECT_EQ(file.frames.size(), 12u);
    EXPECT_FALSE(file_exists(dir + "/clip_SlowStart.mov"));
}

TEST(Close, OpeningOverAnOpenOutputFinishesIt) {
    const std::string dir = scratch_dir("overopen");
    FFWriter writer;
    WriterSettings settings = video_settings("mov", "libx264", 64, 48, 4);
    ASSERT_TRUE(writer.open((dir + "/a.mov").c_str(), &settings));
    ASSERT_TRUE(write_frames(writer, 5));
    ASSERT_TRUE(writer.open((dir + "/b.mov").c_str(), &settings));
    ASSERT_TRUE(write_frames(writer, 2));
    writer.close();
    EXPECT_EQ(decode_file(dir + "/a.mov").frames.size(), 5u);
    EXPECT_EQ(decode_file(dir + "/b.mov").frames.size(), 2u);
}

TEST(Packets, DtsTooCloseForTheStreamAreClipped) {
    // 2000 frames a second in a millisecond time base: rounding hands the
    // muxer equal dts, which it would refuse.
    const std::string dir = scratch_dir("clipping");
    FFWriter writer;
    writer.m_logCallback = keep_message;
    clear_messages();
    WriterSettings settings = video_settings("asf", "mpeg4", 64, 48, 4);
    settings.frameRate = 2000;
    ASSERT_TRUE(writer.open((dir + "/fast.asf").c_str(), &settings));
    ASSERT_TRUE(write_frames(writer, 10));
    writer.close();
    EXPECT_EQ(count_logged("Error writing video frame"), 0);
    EXPECT_TRUE(logged("QelFFmpegWriter: Video timestamp 1 < 2 invalid, clipping", LOG_WARNING));
    const probe::File file = decode_file(dir + "/fast.asf");
    EXPECT_TRUE(file.errors.empty()) << file.error_text();
    EXPECT_EQ(file.frames.size(), 10u);
}

TEST(Close, FiftyCyclesLeaveNothingBehind) {
    // Run under the sanitizer build, LeakSanitizer checks the memory; the
    // descriptors are checked here.
    const std::string dir = scratch_dir("cycles");
    const int before = open_descriptors();
    FFWriter writer;
    writer.m_logCallback = nullptr;
    for (int cycle = 0; cycle < 50; ++cycle) {
        WriterSettings settings = video_settings("mov", "libx264", 64, 48, cycle % 2 ? 3 : 4);
        settings.fastStart = cycle % 3 == 0;
        const std::string path = dir + "/clip" + std::to_string(cycle % 5) + ".mov";
        ASSERT_TRUE(writer.open(path.c_str(), &settings));
        ASSERT_TRUE(write_frames(writer, 3, 64, 48, cycle % 2 ? 3 : 4));
        writer.close();
        // A failing open in between must not leak either.
        WriterSettings broken = video_settings("mov", "libx264", 64, 48, 4);
        broken.outPixelFormat = AV_PIX_FMT_RGBA64LE;
        ASSERT_FALSE(writer.open(path.c_str(), &broken));
    }
    EXPECT_EQ(open_descriptors(), before);
}

}  // namespace
