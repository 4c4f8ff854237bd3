// The qelhost program as a person or a script uses it.
#include "common/run.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

static CommandResult qelhost(const std::string& arguments) {
    return run_command(std::string(QEL_BUILD_DIR) + "/qelhost " + arguments, false);
}

TEST(Qelhost, InfoPrintsEveryDescriptorField) {
    const CommandResult run = qelhost("info");
    ASSERT_EQ(run.status, 0) << run.out;
    // The module file says its version, as the project's one place has it.
    for (const char* expected : {"\"Encoders\"", "\"FFmpeg Encoder\"", "\"5C1E7A40-2B9D-4F63-A8E1-0D4B7C2F9E16\"",
                                 "\"None\"", "   136     8", "QelFFmpegWriter " QEL_VERSION " (qelhost"})
        EXPECT_NE(run.out.find(expected), std::string::npos) << expected << " missing in\n" << run.out;
    for (const char* command : {"info", "panel"})
        EXPECT_NE(qelhost(std::string(command) + " --module /nonexistent/QelFFmpegWriter.so").status, 0) << command;
}

// An install puts the module alone into the host's plug-in folder, where it
// still loads (the host's libraries are the host's, not beside it).
TEST(Qelhost, InstallPutsTheModuleInThePluginFolderAndTheFarmCommandsInBin) {
    namespace fs = std::filesystem;
    const fs::path prefix = fs::path(QEL_BUILD_DIR) / "test_files" / "install";
    fs::remove_all(prefix);
    const CommandResult install =
        run_command("cmake --install '" + std::string(QEL_BUILD_DIR) + "' --prefix '" + prefix.string() + "'");
    ASSERT_EQ(install.status, 0) << install.out;
    std::vector<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(prefix))
        if (!entry.is_directory()) files.push_back(fs::relative(entry.path(), prefix).string());
    std::sort(files.begin(), files.end());
    ASSERT_EQ(files.size(), 3u) << install.out;
    EXPECT_EQ(files[0], "bin/qelfarm");
    EXPECT_EQ(files[1], "bin/qeljoin");
    EXPECT_EQ(fs::path(files[2]).filename(), "QelFFmpegWriter.so");
    EXPECT_EQ(fs::path(files[2]).parent_path().filename(), "plugins") << files[2];
    EXPECT_EQ(fs::path(files[2]).parent_path().parent_path().filename(), "velmora") << files[2];
    for (const std::string& command : {files[0], files[1]})
        EXPECT_EQ(fs::status(prefix / command).permissions() & fs::perms::owner_exec, fs::perms::owner_exec) << command;
    const CommandResult info = qelhost("info --module '" + (prefix / files[2]).string() + "'");
    EXPECT_EQ(info.status, 0) << info.out;
    EXPECT_EQ(info.out.rfind("QelFFmpegWriter " QEL_VERSION " ", 0), 0u) << info.out;
}

// The controls in JSON (their layout is the panel_host test's), one toggle
// per channel the host offers.
TEST(Qelhost, PanelAsJsonListsTheControls) {
    const CommandResult run = qelhost("panel --json --channels 4");
    ASSERT_EQ(run.status, 0) << run.out;
    const nlohmann::json panel = nlohmann::json::parse(run.out);
    std::string identifiers;
    for (const auto& control : panel.at("controls"))
        if (control.at("kind") != "label") identifiers += control.at("identifier").get<std::string>() + " ";
    EXPECT_NE(identifiers.find("klavaudprofile ffaudioChan1 ffaudioChan2 ffaudioChan3 ffaudioChan4 klavstereo"),
              std::string::npos) << identifiers;
}

// Finding what works here (devices, what mp4 takes) tells the user nothing and
// leaves FFmpeg's log level to the host that set it.
TEST(Qelhost, ThePanelsTrialsLeaveFFmpegsLogToTheHost) {
    const CommandResult run =
        run_command(std::string(QEL_BUILD_DIR) + "/qelhost panel --set klavformat=mp4 2>&1 >/dev/null");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out, "");
}
