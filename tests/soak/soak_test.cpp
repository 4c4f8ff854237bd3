// One host process keeps five instances alive and renders 200 outputs
// through them, switched by path, with sound, faststart on for mov and mp4.
// Every file must decode, and the process ends with the descriptors it had.
#include "common/fd_count.h"
#include "faststart/movie_files.h"
#include "requests/request_fixture.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace {

constexpr int INSTANCES = 5;
constexpr int OUTPUTS = 200;
constexpr int FRAMES_PER_OUTPUT = 3;

}  // namespace

class Soak : public RequestTest {};

TEST_F(Soak, FiveInstancesTwoHundredOutputs) {
    const int descriptors = open_descriptors();
    {
        const std::pair<const char*, const char*> containers[INSTANCES] = {
            {items::MP4, "mp4"}, {items::MOV, "mov"}, {items::MATROSKA, "mkv"}, {items::MP4, "mp4"}, {items::MOV, "mov"}};
        std::vector<std::unique_ptr<qelhost::StandinHost>> hosts;
        for (const auto& [container, extension] : containers) {
            hosts.push_back(open_panel({{"klavformat", container}}));
            qelhost::StandinHost& host = *hosts.back();
            host.node().audio = qelhost::AudioClip::tone();
            EXPECT_TRUE(host.change("ffaudioChan1", 1));
            EXPECT_TRUE(host.change("ffaudioChan2", 1));
            if (std::string(extension) != "mkv") {
                EXPECT_TRUE(host.change("klavfaststart", 1));
            }
        }

        std::vector<std::string> files;
        for (int output = 0; output < OUTPUTS; ++output) {
            const size_t instance = size_t(output % INSTANCES);
            files.push_back(path("out" + std::to_string(output) + "." + containers[instance].second));
            // The first request of a new path finalises the instance's previous output.
            const int firstFrame = output / INSTANCES * FRAMES_PER_OUTPUT;
            ASSERT_TRUE(send_frames(*hosts[instance], files.back(), FRAMES_PER_OUTPUT, firstFrame));
        }
        for (const auto& host : hosts) {
            ASSERT_TRUE(finish(*host));
            EXPECT_TRUE(host->faults().empty());
        }

        for (const std::string& file : files) {
            const probe::File movie = probe::read(file);
            ASSERT_TRUE(movie.opened) << file;
            EXPECT_TRUE(movie.errors.empty()) << movie.error_text() << file;
            EXPECT_EQ(movie.video_frames, FRAMES_PER_OUTPUT) << file;
            // All the sound sent, plus at most AAC's priming and padding.
            EXPECT_GE(movie.audio_samples, FRAMES_PER_OUTPUT * 1920) << file;
            EXPECT_LE(movie.audio_samples, FRAMES_PER_OUTPUT * 1920 + 2048) << file;
            if (file.compare(file.size() - 4, 4, ".mkv") != 0) {
                // The faststart rewrite ran rather than falling back to the movie as written.
                EXPECT_EQ(types_of(top_level(read_file(file))).at(1), "moov") << file;
            }
        }
        // Faststart left no temporary file behind.
        EXPECT_EQ(files_in_dir(), size_t(OUTPUTS));
    }
    EXPECT_EQ(open_descriptors(), descriptors);
}
