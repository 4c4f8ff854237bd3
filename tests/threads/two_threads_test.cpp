// What a host may do with threads: drive different instances from different
// threads at once, each instance from one thread at a time. Run also under
// ThreadSanitizer (make tsan-test), where a race fails the run.
#include "requests/request_fixture.h"

#include <future>
#include <thread>

namespace {

struct Output {
    const char* name;
    const char* container;
    const char* video;
    const char* audio;
    bool faststart;
};

const Output OUTPUTS[] = {
    {"prores_pcm.mov", "mov", "prores_ks", "pcm_s16le", false},
    {"x264_aac.mp4", "mp4", "libx264", "aac", true},
};
constexpr int FRAMES = 50;

// Everything a thread did, read once both are done.
struct Take {
    bool rendered = false;
    std::vector<std::string> errors;
    std::vector<std::string> lines;  // every level
};

using TwoThreads = RequestTest;

TEST_F(TwoThreads, TwoInstancesRenderTwoOutputsAtOnceEachLoggingToItsOwnHost) {
    std::promise<void> go;
    std::shared_future<void> start = go.get_future().share();
    std::vector<Take> takes(std::size(OUTPUTS));
    std::vector<std::thread> threads;
    for (size_t i = 0; i < std::size(OUTPUTS); ++i)
        threads.emplace_back([&, i] {
            const Output& o = OUTPUTS[i];
            auto host = make_host();
            start.wait();  // both instances build their panels, and try encoders, at once
            if (!host->init() || !host->restore() || !host->choose("klavformat", item_of(o.container)) ||
                !host->choose("klavvideocodec", item_of(o.container, o.video)) ||
                !host->choose("klavaudiocodec", item_of(o.container, o.audio, false)) ||
                !host->change("klavfaststart", o.faststart) || !host->change("ffaudioChan1", 1) ||
                !host->change("ffaudioChan2", 1))
                return;
            // A refused request first: its sentence names a path of this thread's own.
            qelhost::Picture picture(160, 120);
            qelhost::FrameRequest refused;
            refused.picture = &picture;
            refused.path = path(std::string(o.name) + ".folder");
            std::filesystem::create_directories(refused.path);
            if (host->process(refused)) return;
            qelhost::TestPatternClip::Settings shape;
            shape.width = 160;
            shape.height = 120;
            shape.frames = FRAMES;
            shape.audio = qelhost::AudioClip::tone();
            qelhost::TestPatternClip clip(shape);
            takes[i].rendered = qelhost::render(*host, clip, to(path(o.name))).ok();
            takes[i].errors = host->log().texts(LOG_ERROR);
            takes[i].lines = host->log().texts(-1);
            EXPECT_TRUE(host->exit());
        });
    go.set_value();
    for (std::thread& t : threads) t.join();

    for (size_t i = 0; i < std::size(OUTPUTS); ++i) {
        const Output& o = OUTPUTS[i];
        EXPECT_TRUE(takes[i].rendered) << o.name;
        const std::vector<std::string> refusal = {
            "QelFFmpegWriter: output path is a directory: " + path(o.name) + ".folder",
            "QelFFmpegWriter: Failed to create file."};
        EXPECT_EQ(takes[i].errors, refusal);
        const probe::File movie = probe::read(path(o.name));
        EXPECT_TRUE(movie.opened && movie.errors.empty()) << o.name << movie.error_text();
        EXPECT_EQ(movie.video_frames, FRAMES) << o.name;
        EXPECT_GE(movie.audio_samples, FRAMES * 48000 / 25) << o.name;
        EXPECT_EQ(o.faststart, index_in_front(path(o.name))) << o.name;
        // A host hears of no other's output.
        const auto names = [&](const std::string& name) {
            return std::count_if(takes[i].lines.begin(), takes[i].lines.end(),
                                 [&](const std::string& line) { return line.find(name) != line.npos; });
        };
        EXPECT_EQ(names(OUTPUTS[1 - i].name), 0) << o.name;
    }
    EXPECT_EQ(bindings(), 0);
}

TEST_F(TwoThreads, InstancesBeginAndEndOnManyThreadsAndTheLastOneUnbinds) {
    constexpr int THREADS = 4, ROUNDS = 8;
    std::promise<void> go;
    std::shared_future<void> start = go.get_future().share();
    std::vector<int> failures(THREADS, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t)
        threads.emplace_back([&, t] {
            start.wait();
            for (int round = 0; round < ROUNDS; ++round) {
                auto host = make_host();
                // A lost count would bind twice or unbind under a live instance.
                if (!host->init() || !host->restore() || !host->exit() || !host->faults().empty()) ++failures[t];
            }
        });
    go.set_value();
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failures, std::vector<int>(THREADS, 0));
    EXPECT_EQ(bindings(), 0);
    // With no instance left the next one binds afresh and asks for its suites.
    auto host = make_host();
    ASSERT_TRUE(host->init());
    EXPECT_EQ(bindings(), 1);
    EXPECT_FALSE(host->suite_requests().empty());
}

}  // namespace
