// One host process keeps five instances alive and renders 200 outputs
// through them, switched by path, with sound, faststart on for mov and mp4.
// Every file must decode, and the process ends with the descriptors it had.
#include "common/fd_count.h"
#include "requests/request_fixture.h"

#include <memory>
#include <vector>

class Soak : public RequestTest {};

TEST_F(Soak, FiveInstancesTwoHundredOutputs) {
    constexpr int OUTPUTS = 200, FRAMES = 3;
    const int descriptors = open_descriptors();
    {
        const std::pair<const char*, std::string> containers[] = {
            {items::MP4, "mp4"}, {items::MOV, "mov"}, {items::MATROSKA, "mkv"},
            {items::MP4, "mp4"}, {items::MOV, "mov"}};
        std::vector<std::unique_ptr<qelhost::StandinHost>> hosts;
        for (const auto& [container, extension] : containers) {
            hosts.push_back(open_panel({{"klavformat", container}}));
            hosts.back()->node().audio = qelhost::AudioClip::tone();
            for (const char* toggle : {"ffaudioChan1", "ffaudioChan2"}) EXPECT_TRUE(hosts.back()->change(toggle, 1));
            EXPECT_TRUE(extension == "mkv" || hosts.back()->change("klavfaststart", 1));
        }
        std::vector<std::string> files;
        for (int output = 0; output < OUTPUTS; ++output) {
            const size_t instance = size_t(output) % hosts.size();
            files.push_back(path("out" + std::to_string(output) + "." + containers[instance].second));
            // The first request of a new path finalises the instance's previous output.
            ASSERT_TRUE(send_frames(*hosts[instance], files.back(), FRAMES, output / int(hosts.size()) * FRAMES));
        }
        for (const auto& host : hosts) {
            ASSERT_TRUE(finish(*host));
            EXPECT_TRUE(host->faults().empty());
        }
        for (const std::string& file : files) {
            const probe::File movie = probe::read(file);
            ASSERT_TRUE(movie.opened) << file;
            EXPECT_TRUE(movie.errors.empty()) << movie.error_text() << file;
            EXPECT_EQ(movie.video_frames, FRAMES) << file;
            // All the sound sent, plus at most AAC's priming and padding.
            EXPECT_GE(movie.audio_samples, FRAMES * 1920) << file;
            EXPECT_LE(movie.audio_samples, FRAMES * 1920 + 2048) << file;
            // The faststart rewrite ran rather than falling back to the movie as written.
            EXPECT_TRUE(file.compare(file.size() - 4, 4, ".mkv") == 0 || index_in_front(file)) << file;
        }
        // Each movie with its report (.qc.json, .qc.html) and nothing else: no temporary file left.
        EXPECT_EQ(files_in_dir(), size_t(OUTPUTS) * 3);
    }
    EXPECT_EQ(open_descriptors(), descriptors);
}
