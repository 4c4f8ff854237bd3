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

}  // namespace

// The default sink uses the level's entry of the Log suite and drops other
// levels; a path's % signs reach the host unchanged, a writer's message is cut
// at 1023 characters. No sink, or no Log suite, is silent.
TEST(Messages, DefaultSinkUsesTheLevelsEntryAndDropsOthers) {
    g_lines.clear();
    g_suites.log = g_logSuite;
    for (int32_t level = -1; level <= 5; ++level) default_log_sink(level, ("level " + std::to_string(level)).c_str());
    const char* path = "/renders/100%d %s %n%%.mov";
    FFWriter().log(LOG_ERROR, "QelFFmpegWriter: failed to create file: %s", path);
    const std::string longer(4000, 'b');
    FFWriter().log(LOG_WARNING, "QelFFmpegWriter: %s", longer.c_str());
    FFWriter silent(nullptr);
    silent.log(LOG_ERROR, "QelFFmpegWriter: %s", "nobody hears this");
    log_to(nullptr, LOG_ERROR, "nor this");
    g_suites.log = nullptr;
    default_log_sink(LOG_ERROR, "lost");
    default_log_sink(LOG_ERROR, nullptr);

    ASSERT_EQ(g_lines.size(), 7u);
    for (int32_t level = 0; level <= 4; ++level) {
        const LoggedMessage& line = g_lines[size_t(level)];
        EXPECT_TRUE(line.level == level && line.text == "level " + std::to_string(level)) << line.text;
    }
    EXPECT_EQ(g_lines[5].level, LOG_ERROR);
    EXPECT_EQ(g_lines[5].text, std::string("QelFFmpegWriter: failed to create file: ") + path);
    EXPECT_TRUE(g_lines[6].level == LOG_WARNING && g_lines[6].text == ("QelFFmpegWriter: " + longer).substr(0, 1023));
}

TEST(ErrorText, CodesWithoutTextStillGiveATerminatedTextThatFits) {
    EXPECT_STREQ(ffmpeg_error_text(AVERROR_EOF), "End of file");
    const size_t length = std::strlen(ffmpeg_error_text(-0x7654321));
    EXPECT_TRUE(length > 0 && length < size_t(ERROR_TEXT_SIZE)) << length;
}
