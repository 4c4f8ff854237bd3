// A stand-in host whose panel is set as a user leaves it, a scratch folder
// per test, and small pictures to send.
#pragma once

#include "foundation/host_fixture.h"
#include "host/harness/render.h"
#include "common/media_probe.h"

#include <filesystem>
#include <initializer_list>
#include <string>
#include <utility>

namespace items {
constexpr const char* MP4 = "MP4 (MPEG-4 Part 14)";
constexpr const char* MOV = "QuickTime / MOV";
constexpr const char* MATROSKA = "Matroska";
constexpr const char* AVI = "AVI (Audio Video Interleaved)";
constexpr const char* X264 = "libx264 H.264 / AVC";
constexpr const char* X264_RGB = "libx264 H.264 / AVC RGB";
constexpr const char* MPEG4 = "MPEG-4 part 2";
constexpr const char* PNG = "PNG (Portable Network Graphics) image";
constexpr const char* PCM16 = "PCM signed 16-bit little-endian";
constexpr const char* NO_VIDEO = "-- NO VIDEO --";
constexpr const char* NO_AUDIO = "-- NO AUDIO --";
}  // namespace items

// A render to one file.
inline qelhost::RenderOptions to(std::string path) {
    qelhost::RenderOptions options;
    options.path = std::move(path);
    return options;
}

using Choices = std::initializer_list<std::pair<const char*, const char*>>;

// Sends frames [first, first + count) of a 64x48 test pattern to `path`;
// true when every request succeeded.
inline bool send_frames(qelhost::StandinHost& host, const std::string& path, int count, int first = 0) {
    qelhost::Picture picture(64, 48);
    qelhost::FrameRequest request;
    request.picture = &picture;
    request.path = path;
    bool ok = true;
    for (int frame = first; frame < first + count && ok; ++frame) {
        request.frame = frame;
        picture.draw_test_pattern(frame);
        ok = host.process(request);
    }
    return ok;
}

// The empty path: the module finalises the open output.
inline bool finish(qelhost::StandinHost& host) {
    qelhost::FrameRequest request;
    return host.process(request);
}

// Frames to `path`, then the empty path; true when every request succeeded.
inline bool render_frames(qelhost::StandinHost& host, const std::string& path, int frames, int first = 0) {
    const bool sent = send_frames(host, path, frames, first);
    return finish(host) && sent;
}

// A line of the host's log at `level` (4: error) containing `part`.
inline bool logged(const qelhost::HostLog& log, const std::string& part, int level = 4) {
    for (const std::string& text : log.texts(level))
        if (text.find(part) != std::string::npos) return true;
    return false;
}

class RequestTest : public HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        standin_set_max_audio_channels(2);
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = std::string(QEL_BUILD_DIR) + "/test-output/requests/" + test->test_suite_name() + "." + test->name();
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
    }
    void TearDown() override {
        standin_set_max_audio_channels(16);
        HostTest::TearDown();
    }

    // INIT, RESTORE of an empty project, then the user's choices one by one.
    std::unique_ptr<qelhost::StandinHost> open_panel(Choices choices) {
        auto host = make_host();
        EXPECT_TRUE(host->init());
        EXPECT_TRUE(host->restore());
        for (const auto& [id, item] : choices) EXPECT_TRUE(host->choose(id, item)) << id << " = " << item;
        return host;
    }

    std::string path(const std::string& name) const { return dir + "/" + name; }

    size_t files_in_dir() const {
        size_t n = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir)) ++n;
        return n;
    }

    std::string dir;
};
