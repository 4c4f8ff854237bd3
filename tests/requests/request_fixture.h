// Quiet stand-in hosts over one loaded module, a scratch folder per test, and
// what the tests of frame requests and of the qelhost program share.
#pragma once

#include "catalogue/catalogue.h"
#include "common/media_probe.h"
#include "common/run.h"
#include "faststart/movie_files.h"
#include "host/harness/render.h"
#include "host/harness/standin_host.h"
#include "standin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

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

inline const std::string QELHOST = std::string(QEL_BUILD_DIR) + "/qelhost";

inline qelhost::RenderOptions to(std::string path) {
    qelhost::RenderOptions options;
    options.path = std::move(path);
    return options;
}

// Frames [first, first + count) of a 64x48 test pattern; true when every request succeeded.
inline bool send_frames(qelhost::StandinHost& host, const std::string& path, int count, int first = 0,
                        double fps = 25) {
    qelhost::Picture picture(64, 48);
    qelhost::FrameRequest request;
    request.picture = &picture;
    request.path = path;
    request.fps = fps;
    bool ok = true;
    for (int frame = first; frame < first + count && ok; ++frame) {
        request.frame = frame;
        picture.draw_test_pattern(frame);
        ok = host.process(request);
    }
    return ok;
}

// The empty path: the module finalises the open output.
inline bool finish(qelhost::StandinHost& host) { return host.process(qelhost::FrameRequest{}); }

inline bool render_frames(qelhost::StandinHost& host, const std::string& path, int frames, int first = 0) {
    const bool sent = send_frames(host, path, frames, first);
    return finish(host) && sent;
}

// A line of the host's log at `level` (4: error) containing `part`.
inline bool logged(const qelhost::HostLog& log, const std::string& part, int level = 4) {
    const std::vector<std::string> texts = log.texts(level);
    return std::any_of(texts.begin(), texts.end(), [&](const std::string& t) { return t.find(part) != t.npos; });
}

// The index of a mov or mp4 stands in front of its media: faststart ran.
inline bool index_in_front(const std::string& path) {
    const std::vector<std::string> atoms = types_of(top_level(read_file(path)));
    const auto moov = std::find(atoms.begin(), atoms.end(), "moov");
    return moov != atoms.end() && moov < std::find(atoms.begin(), atoms.end(), "mdat");
}

// The panel's item for a container, or for one of its encoders, by FFmpeg's name.
inline std::string item_of(const char* container, const char* encoder = nullptr, bool video = true) {
    ContainerList containers;
    EncoderList encoders;
    list_containers(containers);
    if (const AVOutputFormat* muxer = find_muxer(container); muxer && encoder)
        list_container_encoders(*muxer, encoders, video);
    for (size_t i = 0; !encoder && i < containers.size(); ++i)
        if (std::string(containers[i].name) == container) return std::to_string(i);
    for (size_t i = 0; encoder && i < encoders.size(); ++i)
        if (std::string(encoders[i].name) == encoder) return std::to_string(i);
    return "none";
}

template <typename Row>
std::string row_name(const ::testing::TestParamInfo<Row>& info) {
    return info.param.name;
}

class HostTest : public ::testing::Test {
protected:
    void SetUp() override {
        standin_set_fflink_fail(false);
        module = qelhost::Module::load(QEL_MODULE_PATH);
        bindings_before = standin_fflink_loaded();
    }
    void TearDown() override { standin_set_fflink_fail(false); }

    std::unique_ptr<qelhost::StandinHost> make_host(qelhost::HostOptions options = {}) {
        options.echo_log = false;
        return std::make_unique<qelhost::StandinHost>(module, options);
    }
    // FFmpeg bindings made by the module and not yet undone.
    int bindings() const { return standin_fflink_loaded() - bindings_before; }

    std::shared_ptr<qelhost::Module> module;
    int bindings_before = 0;
};

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
    std::unique_ptr<qelhost::StandinHost> open_panel(
        std::initializer_list<std::pair<const char*, const char*>> choices) {
        auto host = make_host();
        EXPECT_TRUE(host->init());
        EXPECT_TRUE(host->restore());
        for (const auto& [id, item] : choices) EXPECT_TRUE(host->choose(id, item)) << id << " = " << item;
        return host;
    }

    // Lossless PCM of the ticked channels: sample counts in the file are exact.
    std::unique_ptr<qelhost::StandinHost> pcm_panel(const char* format, std::initializer_list<int> channels = {1, 2}) {
        auto host = open_panel({{"klavformat", format}, {"klavaudiocodec", items::PCM16}});
        for (int n : channels) EXPECT_TRUE(host->change("ffaudioChan" + std::to_string(n), 1));
        return host;
    }

    std::string path(const std::string& name) const { return dir + "/" + name; }

    size_t files_in_dir() const {
        return size_t(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()));
    }

    std::string dir;
};
