// The qelhost program as a person or a script uses it.
#include "common/run.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

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

// The module's controls by identifier, in the order it creates them, with
// one channel toggle per channel the host offers.
TEST(Qelhost, PanelAsJsonListsTheControls) {
    for (const int channels : {16, 4}) {
        SCOPED_TRACE(channels);
        const CommandResult run = qelhost("panel --json --channels " + std::to_string(channels));
        ASSERT_EQ(run.status, 0) << run.out;
        const nlohmann::json panel = nlohmann::json::parse(run.out);
        std::vector<std::string> identifiers;
        int toggles = 0;
        for (const auto& control : panel.at("controls")) {
            const std::string id = control.at("identifier");
            EXPECT_TRUE(control.at("enabled").is_boolean()) << id;
            if (id.rfind("ffaudioChan", 0) == 0) {
                EXPECT_EQ(id, "ffaudioChan" + std::to_string(++toggles));
                EXPECT_EQ(control.at("kind"), "toggle");
            } else if (!id.empty()) {
                identifiers.push_back(id);
                EXPECT_NE(control.at("kind"), "label") << id;
            }
        }
        EXPECT_EQ(toggles, channels);
        EXPECT_EQ(identifiers,
                  (std::vector<std::string>{"klavformat", "klavvideocodec", "klavvidprofile", "klavpixelfmt",
                                            "klavquality", "klavfaststart", "klavkeyframes", "klavbitratemode",
                                            "klavvidbitrate", "klavaudiocodec", "klavaudprofile", "klavstereo",
                                            "klav16bit", "klavaudbitrate"}));
    }
}

TEST(Qelhost, MissingModuleFailsWithStatus) {
    EXPECT_NE(qelhost("info --module /nonexistent/QelFFmpegWriter.so").status, 0);
    EXPECT_NE(qelhost("panel --module /nonexistent/QelFFmpegWriter.so").status, 0);
}
