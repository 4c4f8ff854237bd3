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

struct Instance {
    std::unique_ptr<qelhost::StandinHost> host;
    const char* extension;
    int next_frame = 0;
};

}  // namespace

class Soak : public RequestTest {};

TEST_F(Soak, FiveInstancesTwoHundredOutputs) {
    const int descriptors = open_descriptors();
    {
        const std::pair<const char*, const char*> containers[INSTANCES] = {
            {items::MP4, "mp4"}, {items::MOV, "mov"}, {items::MATROSKA, "mkv"}, {items::MP4, "mp4"}, {items::MOV, "mov"}};
        std::vector<Instance> instances;
        for (const auto& [container, extension] : containers) {
            Instance instance{open_panel({{"klavformat", container}}), extension};
            qelhost::StandinHost& host = *instance.host;
            host.node().audio = qelhost::AudioClip::tone();
            EXPECT_TRUE(host.change("ffaudioChan1", 1));
            EXPECT_TRUE(host.change("ffaudioChan2", 1));
            if (std::string(extension) != "mkv") {
                EXPECT_TRUE(host.change("klavfaststart", 1));
            }
            instances.push_back(std::move(instance));
        }

        std::vector<std::string> files;
        for (int output = 0; output < OUTPUTS; ++output) {
            Instance& instance = instances[size_t(output % INSTANCES)];
            files.push_back(path("out" + std::to_string(output) + "." + instance.extension));
            // The first request of a new path finalises the instance's previous output.
            ASSERT_TRUE(send_frames(*instance.host, files.back(), FRAMES_PER_OUTPUT, instance.next_frame));
            instance.next_frame += FRAMES_PER_OUTPUT;
        }
        for (Instance& instance : instances) {
            ASSERT_TRUE(finish(*instance.host));
            EXPECT_TRUE(instance.host->faults().empty());
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
