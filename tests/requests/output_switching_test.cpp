// Frame requests as the host sends them: which files come out, when they are
// finalised, where the key frames fall, what metadata and pixels reach them.
#include "request_fixture.h"

using qelhost::FrameRequest;
using qelhost::Picture;

// A new path finalises the open output in the same request; the empty or
// null path finalises it, and after that does nothing.
TEST_F(RequestTest, ANewPathOrAnEmptyOneFinalisesTheOutput) {
    auto host = open_panel({{"klavformat", items::MP4}});
    ASSERT_TRUE(send_frames(*host, path("first.mp4"), 1));
    EXPECT_TRUE(std::filesystem::exists(path("first.mp4"))) << "opened by its first request";
    ASSERT_TRUE(send_frames(*host, path("first.mp4"), 2, 1));
    // Without faststart the index is written last: a readable file is a finalised one.
    EXPECT_FALSE(probe::read(path("first.mp4")).opened);

    ASSERT_TRUE(send_frames(*host, path("second.mp4"), 2, 3));
    const probe::File first = probe::read(path("first.mp4"));
    EXPECT_EQ(first.video_frames, 3) << "the switching request finalised the old file";
    EXPECT_TRUE(first.errors.empty()) << first.error_text();

    FrameRequest request;
    request.null_path = true;
    EXPECT_TRUE(host->process(request));
    const probe::File second = probe::read(path("second.mp4"));
    EXPECT_EQ(second.video_frames, 2) << "the switching request's own frame went to the new file";
    EXPECT_EQ(probe::key_frames(second), std::vector<int>{0});

    host->node().clear_history();
    for (bool nullPath : {false, true, false}) {
        request.null_path = nullPath;
        request.frame += 1;
        EXPECT_TRUE(host->process(request));
    }
    EXPECT_EQ(files_in_dir(), 2u);
    EXPECT_TRUE(host->node().audio_reads().empty());
    EXPECT_EQ(host->node().metadata_requests(), 0);
    EXPECT_EQ(probe::read(path("second.mp4")).video_frames, 2);
    EXPECT_TRUE(host->faults().empty());
}

// Without a metadata handle neither the host's entries nor the reel id go
// in; every handle is released, the null one too.
TEST_F(RequestTest, MetadataIsEchoedOncePerOpeningAndEveryHandleIsReleased) {
    for (const bool withMetadata : {true, false}) {
        SCOPED_TRACE(withMetadata ? "with metadata" : "without");
        auto host = open_panel({{"klavformat", items::MATROSKA}, {"klavvideocodec", items::X264}});
        if (withMetadata)
            host->node().metadata = [](double) {
                return std::optional<qelhost::MetadataEntries>({{"Camera", "A7"}, {"Scene", "12"}});
            };
        const std::string prefix = withMetadata ? "with_" : "without_";
        Picture picture(64, 48);
        FrameRequest request;
        request.picture = &picture;
        request.reel_id = "R001";
        for (int frame = 0; frame < 5; ++frame) {
            request.frame = frame;
            request.path = path(prefix + (frame < 3 ? "a.mkv" : "b.mkv"));
            ASSERT_TRUE(host->process(request));
        }
        ASSERT_TRUE(finish(*host));

        const auto info = host->log().texts(2);
        const int echoes = withMetadata ? 2 : 0;  // once for each of the two files
        EXPECT_EQ(std::count(info.begin(), info.end(), "Camera = A7"), echoes);
        EXPECT_EQ(std::count(info.begin(), info.end(), "Scene = 12"), echoes);
        EXPECT_EQ(host->node().live_metadata_handles(), 0u);
        EXPECT_EQ(host->node().metadata_releases(), host->node().metadata_requests());
        EXPECT_EQ(host->node().metadata_requests(), 5) << "one per frame, the opening frame's serving the file too";

        const probe::File a = probe::read(path(prefix + "a.mkv"));
        ASSERT_TRUE(a.opened);
        EXPECT_EQ(a.tag("reelid"), withMetadata ? "R001" : "");
        EXPECT_EQ(a.tag("Camera"), withMetadata ? "A7" : "");
        EXPECT_TRUE(host->faults().empty());
    }
}

TEST_F(RequestTest, ImagesTheModuleMustCopyGiveTheSamePixels) {
    // PNG with 16-bit RGBA keeps every sample, so the files can be compared
    // with the pictures themselves.
    auto host = open_panel({{"klavformat", items::MP4}, {"klavvideocodec", items::PNG}, {"klavpixelfmt", "rgba64be"}});
    qelhost::TestPatternClip clip({32, 24, 4, 25, 3, std::nullopt, {}});

    const int copiesBefore = standin_icontext_copies();
    const int imagesBefore = standin_live_images();
    ASSERT_TRUE(qelhost::render(*host, clip, to(path("direct.mp4"))).ok());
    EXPECT_EQ(standin_icontext_copies(), copiesBefore) << "direct images are read as they are";
    qelhost::RenderOptions indirect = to(path("copied.mp4"));
    indirect.direct = false;
    ASSERT_TRUE(qelhost::render(*host, clip, indirect).ok());
    EXPECT_EQ(standin_icontext_copies(), copiesBefore + 3) << "one copy per frame";
    EXPECT_EQ(standin_live_images(), imagesBefore) << "every copy deleted";

    const probe::File direct = probe::read(path("direct.mp4"), probe::WITH_PICTURES);
    const probe::File copied = probe::read(path("copied.mp4"), probe::WITH_PICTURES);
    ASSERT_EQ(direct.pictures.size(), 3u);
    ASSERT_EQ(copied.pictures.size(), 3u);
    Picture expected(32, 24);
    for (int frame = 0; frame < 3; ++frame) {
        expected.draw_test_pattern(frame);
        const std::vector<uint16_t> source(expected.samples(), expected.samples() + expected.sample_count());
        EXPECT_TRUE(direct.pictures[size_t(frame)] == source) << "frame " << frame;
        EXPECT_TRUE(copied.pictures[size_t(frame)] == source) << "frame " << frame;
    }
}

// The host's paths hold 259 characters. A longer one is refused, not cut: a
// cut path would never equal the request again and reopen the output at
// every frame.
TEST_F(RequestTest, APathPastTheHostsLimitIsRefusedNotCut) {
    for (const size_t length : {size_t(260), size_t(259)}) {
        SCOPED_TRACE(length);
        auto host = open_panel({{"klavformat", items::MATROSKA}});
        const std::string folder = path("");
        const std::string file = folder + std::string(length - folder.size() - 4, 'p') + ".mkv";
        const bool fits = length < 260;
        EXPECT_EQ(send_frames(*host, file, 3), fits);
        EXPECT_EQ(host->log().contains(4, "QelFFmpegWriter: output path is longer than 259 characters"), !fits);
        ASSERT_TRUE(finish(*host));
        EXPECT_EQ(probe::read(file).video_frames, fits ? 3 : 0);
        EXPECT_EQ(files_in_dir(), fits ? 1u : 0u) << "nothing under a cut name";
    }
}
