// The qelhost program as a person or a script uses it.
#include "common/run.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

namespace {

CommandResult qelhost(const std::string& arguments) {
    return run_command(std::string(QEL_BUILD_DIR) + "/qelhost " + arguments, false);
}

}  // namespace

TEST(Qelhost, InfoPrintsEveryDescriptorField) {
    const CommandResult run = qelhost("info");
    ASSERT_EQ(run.status, 0) << run.out;
    for (const char* expected : {"\"Encoders\"", "\"FFmpeg Encoder\"", "\"5C1E7A40-2B9D-4F63-A8E1-0D4B7C2F9E16\"",
                                 "\"None\"", "   136     8"})
        EXPECT_NE(run.out.find(expected), std::string::npos) << expected << " missing in\n" << run.out;
}

TEST(Qelhost, PanelAsJsonListsTheControls) {
    const CommandResult run = qelhost("panel --json");
    ASSERT_EQ(run.status, 0) << run.out;
    const nlohmann::json panel = nlohmann::json::parse(run.out);
    ASSERT_TRUE(panel["controls"].is_array());
    for (const auto& control : panel["controls"]) {
        EXPECT_TRUE(control.contains("kind"));
        EXPECT_TRUE(control.contains("enabled"));
    }
}

TEST(Qelhost, MissingModuleFailsWithStatus) {
    EXPECT_NE(qelhost("info --module /nonexistent/QelFFmpegWriter.so").status, 0);
    EXPECT_NE(qelhost("panel --module /nonexistent/QelFFmpegWriter.so").status, 0);
}
