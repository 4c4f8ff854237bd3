// The two roads a message takes to the host: the writer's log with its
// callback, and the default sink into the Log suite.
#include "host_fixture.h"

#include "common/writer_log.h"

#include "host/harness/suite_tables.h"
#include "plugin/host_services.h"
#include "plugin/messages.h"
#include "writer/FFWriter.h"

#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/error.h>
}

namespace {

// The module's code linked into this test, with its Log suite slot pointed
// at the stand-in host's table.
class Messages : public HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        clear_messages();
        saved = g_suites;
        g_suites.log = qelhost::suite_table("Log");
        host = make_host();
    }
    void TearDown() override {
        g_suites = saved;
        HostTest::TearDown();
    }

    HostSuites saved;
    std::unique_ptr<qelhost::StandinHost> host;
};

}  // namespace

TEST_F(Messages, WriterLogCutsAt1023Characters) {
    FFWriter writer;
    writer.m_logCallback = keep_message;
    const std::string exact(1023, 'a');
    const std::string longer(4000, 'b');
    writer.log(LOG_WARNING, "%s", exact.c_str());
    writer.log(LOG_ERROR, "QelFFmpegWriter: %s", longer.c_str());

    ASSERT_EQ(kept_messages().size(), 2u);
    EXPECT_EQ(kept_messages()[0].level, LOG_WARNING);
    EXPECT_EQ(kept_messages()[0].text, exact);
    EXPECT_EQ(kept_messages()[1].level, LOG_ERROR);
    EXPECT_EQ(kept_messages()[1].text, ("QelFFmpegWriter: " + longer).substr(0, 1023));
}

TEST_F(Messages, PercentInAPathReachesTheHostUnchanged) {
    auto active = host->activate();
    FFWriter writer;  // default callback: the Log suite
    const char* path = "/renders/100%d %s %n%%.mov";
    writer.log(LOG_ERROR, "QelFFmpegWriter: failed to create file: %s", path);
    ASSERT_EQ(host->log().lines().size(), 1u);
    EXPECT_EQ(host->log().lines()[0].level, LOG_ERROR);
    EXPECT_EQ(host->log().lines()[0].text, std::string("QelFFmpegWriter: failed to create file: ") + path);
}

TEST_F(Messages, DefaultSinkUsesTheLevelsEntryAndDropsOthers) {
    auto active = host->activate();
    for (int32_t level = -1; level <= 5; ++level) default_log_sink(level, ("level " + std::to_string(level)).c_str());
    const auto& lines = host->log().lines();
    ASSERT_EQ(lines.size(), 5u);
    for (int32_t level = 0; level <= 4; ++level) {
        EXPECT_EQ(lines[size_t(level)].level, level);
        EXPECT_EQ(lines[size_t(level)].text, "level " + std::to_string(level));
    }
}

TEST_F(Messages, NoCallbackOrNoLogSuiteIsSilent) {
    auto active = host->activate();
    FFWriter writer;
    writer.m_logCallback = nullptr;
    writer.log(LOG_ERROR, "QelFFmpegWriter: %s", "nobody hears this");
    g_suites.log = nullptr;
    default_log_sink(LOG_ERROR, "lost");
    default_log_sink(LOG_ERROR, nullptr);
    EXPECT_TRUE(host->log().lines().empty());
}

TEST(ErrorText, CodesWithoutTextStillGiveATerminatedTextThatFits) {
    EXPECT_STREQ(ffmpeg_error_text(AVERROR_EOF), "End of file");
    const char* text = ffmpeg_error_text(-0x7654321);
    EXPECT_GT(std::strlen(text), 0u);
    EXPECT_LT(std::strlen(text), size_t(ERROR_TEXT_SIZE));
}
