// The two roads a message takes to the host: a chosen sink, and the default
// sink into the Log suite (here a table of this test's own).
#include "common/writer_log.h"

#include "base/error_text.h"
#include "base/host_services.h"
#include "base/log.h"
#include "writer/FFWriter.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/error.h>
}

namespace {

std::vector<LoggedMessage> g_lines;

template <int Level>
void log_entry(const char* format, ...) {
    char text[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    g_lines.push_back({Level, text});
}

void* g_logSuite[] = {reinterpret_cast<void*>(&log_entry<0>), reinterpret_cast<void*>(&log_entry<1>),
                      reinterpret_cast<void*>(&log_entry<2>), reinterpret_cast<void*>(&log_entry<3>),
                      reinterpret_cast<void*>(&log_entry<4>)};

class Messages : public ::testing::Test {
protected:
    void SetUp() override {
        clear_messages();
        g_lines.clear();
        g_suites.log = g_logSuite;
    }
    void TearDown() override { g_suites.log = nullptr; }
};

}  // namespace

TEST_F(Messages, WriterLogCutsAt1023Characters) {
    FFWriter writer;
    writer.m_logCallback = keep_message;
    const std::string exact(1023, 'a'), longer(4000, 'b');
    writer.log(LOG_WARNING, "%s", exact.c_str());
    writer.log(LOG_ERROR, "QelFFmpegWriter: %s", longer.c_str());
    ASSERT_EQ(kept_messages().size(), 2u);
    EXPECT_TRUE(kept_messages()[0].level == LOG_WARNING && kept_messages()[0].text == exact);
    EXPECT_EQ(kept_messages()[1].level, LOG_ERROR);
    EXPECT_EQ(kept_messages()[1].text, ("QelFFmpegWriter: " + longer).substr(0, 1023));
}

// The default sink uses the level's entry of the Log suite and drops other
// levels; a path's % signs reach the host unchanged.
TEST_F(Messages, DefaultSinkUsesTheLevelsEntryAndDropsOthers) {
    for (int32_t level = -1; level <= 5; ++level) default_log_sink(level, ("level " + std::to_string(level)).c_str());
    const char* path = "/renders/100%d %s %n%%.mov";
    FFWriter().log(LOG_ERROR, "QelFFmpegWriter: failed to create file: %s", path);
    ASSERT_EQ(g_lines.size(), 6u);
    for (int32_t level = 0; level <= 4; ++level) {
        EXPECT_EQ(g_lines[size_t(level)].level, level);
        EXPECT_EQ(g_lines[size_t(level)].text, "level " + std::to_string(level));
    }
    EXPECT_EQ(g_lines[5].level, LOG_ERROR);
    EXPECT_EQ(g_lines[5].text, std::string("QelFFmpegWriter: failed to create file: ") + path);
}

TEST_F(Messages, NoSinkOrNoLogSuiteIsSilent) {
    FFWriter writer;
    writer.m_logCallback = nullptr;
    writer.log(LOG_ERROR, "QelFFmpegWriter: %s", "nobody hears this");
    log_to(nullptr, LOG_ERROR, "nor this");
    g_suites.log = nullptr;
    default_log_sink(LOG_ERROR, "lost");
    default_log_sink(LOG_ERROR, nullptr);
    EXPECT_TRUE(g_lines.empty());
}

TEST(ErrorText, CodesWithoutTextStillGiveATerminatedTextThatFits) {
    EXPECT_STREQ(ffmpeg_error_text(AVERROR_EOF), "End of file");
    const char* text = ffmpeg_error_text(-0x7654321);
    EXPECT_GT(std::strlen(text), 0u);
    EXPECT_LT(std::strlen(text), size_t(ERROR_TEXT_SIZE));
}
