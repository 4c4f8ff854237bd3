// Closing and the life of one writer over several outputs.
#include "support.h"

#include <gtest/gtest.h>

#include "common/fd_count.h"

using namespace writer_test;

namespace {

TEST(Close, ClosingTwiceOrDestroyingTheWriterFinishesTheFile) {
    for (bool destroy : {false, true}) {
        SCOPED_TRACE(destroy ? "destroyed open" : "closed twice");
        const std::string dir = scratch_dir(destroy ? "destroy" : "closetwice");
        const int before = open_descriptors();
        {
            FFWriter writer;
            EXPECT_TRUE(writer.close()) << "never opened";
            WriterSettings settings = video_settings("mp4", "libx264", 64, 48, 4);
            settings.fastStart = true;
            ASSERT_TRUE(writer.open((dir + "/clip.mp4").c_str(), &settings));
            ASSERT_TRUE(write_frames(writer, 12));
            if (!destroy) {
                EXPECT_TRUE(writer.close());
                EXPECT_TRUE(writer.close());
                EXPECT_FALSE(writer.isOpen());
                const std::vector<uint16_t> picture = host_picture(64, 48, 4, 0);
                EXPECT_FALSE(writer.writeVideoFrame(picture.data(), nullptr, 0, false, nullptr));
            }
        }
        EXPECT_EQ(open_descriptors(), before);
        const probe::File file = decode_file(dir + "/clip.mp4");
        EXPECT_TRUE(file.errors.empty()) << file.error_text();
        EXPECT_EQ(file.frames.size(), 12u);
        EXPECT_FALSE(file_exists(dir + "/clip_SlowStart.mov"));
    }
}

TEST(Close, NextOutputStartsCountingAgainWhetherClosedOrOpenedOver) {
    // Opening over an open output finishes it as close would, x264's delayed
    // frames included.
    for (bool closeFirst : {true, false}) {
        SCOPED_TRACE(closeFirst ? "closed first" : "opened over");
        FFWriter writer;
        writer.m_logCallback = keep_message;
        const std::string dir = scratch_dir(closeFirst ? "reopen" : "overopen");
        WriterSettings x264 = video_settings("mov", "libx264", 64, 48, 4);
        ASSERT_TRUE(writer.open((dir + "/first.mov").c_str(), &x264));
        ASSERT_TRUE(write_frames(writer, 7));
        EXPECT_EQ(writer.videoFrameCount(), 7);
        if (closeFirst) writer.close();

        WriterSettings settings = video_settings("matroska", "prores_ks", 64, 48, 3);
        ASSERT_TRUE(writer.open((dir + "/second.mkv").c_str(), &settings));
        clear_messages();
        EXPECT_EQ(writer.videoFrameCount(), 0);
        EXPECT_EQ(writer.audioSampleCount(), 0);
        ASSERT_TRUE(write_frames(writer, 4, 64, 48, 3));
        writer.close();
        // An intra-only encoder gives one packet per frame, each reported.
        EXPECT_EQ(count_logged("QelFFmpegWriter: Write frame (size="), 4);

        const probe::File first = decode_file(dir + "/first.mov");
        const probe::File second = decode_file(dir + "/second.mkv");
        EXPECT_TRUE(first.errors.empty()) << first.error_text();
        EXPECT_EQ(first.frames.size(), 7u);
        ASSERT_EQ(second.frames.size(), 4u);
        EXPECT_EQ(second.frames[0].pts, 0);
    }
}

TEST(Close, ManyCyclesLeaveNoDescriptorOpen) {
    // Memory is the sanitizer build's to check; a failing open in between
    // must release what it took too.
    const std::string dir = scratch_dir("cycles");
    const int before = open_descriptors();
    FFWriter writer;
    writer.m_logCallback = nullptr;
    for (int cycle = 0; cycle < 50; ++cycle) {
        const int channels = cycle % 2 ? 3 : 4;
        WriterSettings settings = video_settings("mov", "libx264", 64, 48, channels);
        settings.fastStart = cycle % 3 == 0;
        const std::string path = dir + "/clip" + std::to_string(cycle % 5) + ".mov";
        ASSERT_TRUE(writer.open(path.c_str(), &settings));
        ASSERT_TRUE(write_frames(writer, 3, 64, 48, channels));
        writer.close();
        settings.outPixelFormat = AV_PIX_FMT_RGBA64LE;
        ASSERT_FALSE(writer.open(path.c_str(), &settings));
    }
    EXPECT_EQ(open_descriptors(), before);
}

}  // namespace
