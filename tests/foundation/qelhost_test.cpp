// The qelhost program as a person or a script uses it.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>

namespace {

struct Outcome {
    int status;
    std::string out;
};

Outcome qelhost(const std::string& arguments) {
    const std::string command = std::string(QEL_BUILD_DIR) + "/qelhost " + arguments + " 2>/dev/null";
    Outcome run{-1, ""};
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return run;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
    run.status = pclose(pipe);
    return run;
}

}  // namespace

TEST(Qelhost, InfoPrintsEveryDescriptorField) {
    const Outcome run = qelhost("info");
    ASSERT_EQ(run.status, 0) << run.out;
    for (const char* expected : {"\"Encoders\"", "\"FFmpeg Encoder\"", "\"5C1E7A40-2B9D-4F63-A8E1-0D4B7C2F9E16\"",
                                 "\"None\"", "   136     8"})
        EXPECT_NE(run.out.find(expected), std::string::npos) << expected << " missing in\n" << run.out;
}

TEST(Qelhost, PanelAsJsonListsTheControls) {
    const Outcome run = qelhost("panel --json");
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
