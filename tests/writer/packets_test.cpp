// The packet path: timestamps the muxer would refuse are mended on the way.
#include "support.h"

#include <gtest/gtest.h>

using namespace writer_test;

namespace {

TEST(Packets, DtsTooCloseForTheStreamAreClipped) {
    // 2000 frames a second in a millisecond time base: rounding hands the
    // muxer equal dts, which it would refuse.
    const std::string dir = scratch_dir("clipping");
    FFWriter writer;
    writer.m_logCallback = keep_message;
    clear_messages();
    WriterSettings settings = video_settings("asf", "mpeg4", 64, 48, 4);
    settings.frameRate = 2000;
    const probe::File file = write_clip(writer, dir + "/fast.asf", settings, 10);
    EXPECT_EQ(count_logged("Error writing video frame"), 0);
    EXPECT_TRUE(logged("QelFFmpegWriter: Video timestamp 1 < 2 invalid, clipping", LOG_WARNING));
    EXPECT_TRUE(file.errors.empty()) << file.error_text();
    EXPECT_EQ(file.frames.size(), 10u);
}

}  // namespace
