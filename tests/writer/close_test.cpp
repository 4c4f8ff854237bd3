// Closing, the life of one writer over several outputs, and the packets on the way.
#include "support.h"

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
            ASSERT_TRUE(writer.open((dir + "/clip.mp4").c_str(), settings));
            ASSERT_TRUE(write_frames(writer, 12));
            if (!destroy) {
                EXPECT_TRUE(writer.close());
                EXPECT_TRUE(writer.close());
                EXPECT_FALSE(writer.isOpen());
                EXPECT_FALSE(writer.writeVideoFrame(host_picture(64, 48, 4, 0).data(), nullptr, 0, false, nullptr));
            }
        }
        EXPECT_EQ(open_descriptors(), before);
        const probe::File file = decode_file(dir + "/clip.mp4");
        EXPECT_TRUE(file.errors.empty()) << file.error_text();
        EXPECT_EQ(file.frames.size(), 12u);
        EXPECT_FALSE(file_exists(dir + "/clip_Unfinished.mp4"));
    }
}

// An encoder already told the end still holds its delayed frames: the close
// takes them all, or says it could not.
TEST(Close, AnEncoderToldTheEndEarlyStillGivesItsHeldFrames) {
    const std::string dir = scratch_dir("toldtheend");
    FFWriter writer;
    WriterSettings settings = video_settings("mov", "libx264", 64, 48, 4);
    ASSERT_TRUE(writer.open((dir + "/clip.mov").c_str(), settings));
    ASSERT_TRUE(write_frames(writer, 12));
    ASSERT_EQ(avcodec_send_frame(const_cast<AVCodecContext*>(writer.videoCodecContext()), nullptr), 0);
    EXPECT_TRUE(writer.close());
    EXPECT_EQ(decode_file(dir + "/clip.mov").frames.size(), 12u);
}

TEST(Close, NextOutputStartsCountingAgainWhetherClosedOrOpenedOver) {
    // Opening over an open output finishes it as close would, x264's delayed
    // frames included.
    for (bool closeFirst : {true, false}) {
        SCOPED_TRACE(closeFirst ? "closed first" : "opened over");
        FFWriter writer;
        const std::string dir = scratch_dir(closeFirst ? "reopen" : "overopen");
        WriterSettings x264 = video_settings("mov", "libx264", 64, 48, 4);
        ASSERT_TRUE(writer.open((dir + "/first.mov").c_str(), x264));
        ASSERT_TRUE(write_frames(writer, 7));
        EXPECT_EQ(writer.videoFrameCount(), 7);
        if (closeFirst) writer.close();

        WriterSettings settings = video_settings("matroska", "prores_ks", 64, 48, 3);
        ASSERT_TRUE(writer.open((dir + "/second.mkv").c_str(), settings));
        EXPECT_EQ(writer.videoFrameCount(), 0);
        EXPECT_EQ(writer.audioSampleCount(), 0);
        ASSERT_TRUE(write_frames(writer, 4, 64, 48, 3));
        writer.close();

        const probe::File first = decode_file(dir + "/first.mov"), second = decode_file(dir + "/second.mkv");
        EXPECT_TRUE(first.errors.empty()) << first.error_text();
        EXPECT_EQ(first.frames.size(), 7u);
        // An intra-only encoder gives one packet per frame; none of x264's held ones came here.
        EXPECT_EQ(second.keys.size(), 4u);
        ASSERT_EQ(second.frames.size(), 4u);
        EXPECT_EQ(second.frames[0].pts, 0);
    }
}

// 2000 frames a second in a millisecond time base: rounding hands the muxer
// equal dts, which it would refuse.
TEST(Packets, DtsTooCloseForTheStreamAreClipped) {
    FFWriter writer(keep_message);
    clear_messages();
    WriterSettings settings = video_settings("asf", "mpeg4", 64, 48, 4);
    settings.frameRate = 2000;
    const probe::File file = write_clip(writer, scratch_dir("clipping") + "/fast.asf", settings, 10);
    EXPECT_EQ(count_logged("Error writing video frame"), 0);
    EXPECT_TRUE(logged("QelFFmpegWriter: Video timestamp 1 < 2 invalid, clipping", LOG_WARNING));
    EXPECT_TRUE(file.errors.empty()) << file.error_text();
    EXPECT_EQ(file.frames.size(), 10u);
}

}  // namespace
