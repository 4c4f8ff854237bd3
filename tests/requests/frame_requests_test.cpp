// Frame requests as the host sends them: which files come out, when they are
// finalised, what metadata, pixels and slices of the host's sound reach them.
#include "request_fixture.h"

#include <cmath>
#include <functional>
#include <limits>

using qelhost::AudioClip;
using qelhost::AudioRead;
using qelhost::FrameRequest;
using qelhost::Picture;

// A new path finalises the open output in the same request; the empty or null
// path finalises it, and after that does nothing.
TEST_F(RequestTest, ANewPathOrAnEmptyOneFinalisesTheOutput) {
    auto host = open_panel({{"klavformat", items::MP4}});
    ASSERT_TRUE(send_frames(*host, path("first.mp4"), 3));
    // Written under its unfinished name until it is finalised.
    EXPECT_TRUE(std::filesystem::exists(path("first_Unfinished.mp4"))) << "opened by its first request";
    EXPECT_FALSE(std::filesystem::exists(path("first.mp4")));
    ASSERT_TRUE(send_frames(*host, path("second.mp4"), 2, 3));
    const probe::File first = probe::read(path("first.mp4"));
    EXPECT_EQ(first.video_frames, 3) << "the switching request finalised the old file";
    EXPECT_TRUE(first.errors.empty()) << first.error_text();

    FrameRequest request;
    request.null_path = true;
    EXPECT_TRUE(host->process(request));
    const probe::File second = probe::read(path("second.mp4"));
    EXPECT_EQ(probe::key_frames(second), std::vector<int>{0}) << "the switching frame went to the new file alone";
    EXPECT_EQ(second.video_frames, 2);

    host->node().clear_history();
    for (bool nullPath : {false, true, false}) {
        request.null_path = nullPath;
        EXPECT_TRUE(host->process(request));
    }
    EXPECT_EQ(files_in_dir(), 2u);
    EXPECT_TRUE(host->node().audio_reads().empty());
    EXPECT_EQ(host->node().metadata_requests(), 0);
    EXPECT_EQ(probe::read(path("second.mp4")).video_frames, 2);
    EXPECT_TRUE(host->faults().empty());
}

class Metadata : public RequestTest, public ::testing::WithParamInterface<bool> {};

// The host's entries and the reel id go in once per file, only with a metadata
// handle; every handle is released, the null one too.
TEST_P(Metadata, IsEchoedOncePerOpeningAndEveryHandleIsReleased) {
    const bool withMetadata = GetParam();
    auto host = open_panel({{"klavformat", items::MATROSKA}});
    if (withMetadata)
        host->node().metadata = [](double) { return std::optional(qelhost::MetadataEntries{{"Camera", "A7"}}); };
    Picture picture(64, 48);
    FrameRequest request;
    request.picture = &picture;
    request.reel_id = "R001";
    for (request.frame = 0; request.frame < 5; ++request.frame) {
        request.path = path(request.frame < 3 ? "a.mkv" : "b.mkv");
        ASSERT_TRUE(host->process(request)) << request.frame;
    }
    ASSERT_TRUE(finish(*host));

    const auto info = host->log().texts(2);
    EXPECT_EQ(std::count(info.begin(), info.end(), "Camera = A7"), withMetadata ? 2 : 0);
    EXPECT_EQ(host->node().live_metadata_handles(), 0u);
    EXPECT_EQ(host->node().metadata_releases(), 5) << "one per frame, the opening frame's serving the file too";
    EXPECT_EQ(host->node().metadata_requests(), 5);
    const probe::File a = probe::read(path("a.mkv"));
    ASSERT_TRUE(a.opened);
    EXPECT_EQ(a.tag("reelid"), withMetadata ? "R001" : "");
    EXPECT_EQ(a.tag("Camera"), withMetadata ? "A7" : "");
}

INSTANTIATE_TEST_SUITE_P(, Metadata, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "with_metadata" : "without"; });

// PNG with 16-bit RGBA keeps every sample: the files hold the pictures
// themselves, whether the module reads the host's images or copies them.
TEST_F(RequestTest, ImagesTheModuleMustCopyGiveTheSamePixels) {
    auto host = open_panel({{"klavformat", items::MP4}, {"klavvideocodec", items::PNG}, {"klavpixelfmt", "rgba64be"}});
    qelhost::TestPatternClip clip({32, 24, 4, 25, 3, std::nullopt, {}});
    const int copiesBefore = standin_icontext_copies(), imagesBefore = standin_live_images();
    ASSERT_TRUE(qelhost::render(*host, clip, to(path("direct.mp4"))).ok());
    EXPECT_EQ(standin_icontext_copies(), copiesBefore) << "direct images are read as they are";
    qelhost::RenderOptions indirect = to(path("copied.mp4"));
    indirect.direct = false;
    ASSERT_TRUE(qelhost::render(*host, clip, indirect).ok());
    EXPECT_EQ(standin_icontext_copies(), copiesBefore + 3) << "one copy per frame";
    EXPECT_EQ(standin_live_images(), imagesBefore) << "every copy deleted";

    Picture expected(32, 24);
    for (const char* name : {"direct.mp4", "copied.mp4"}) {
        const probe::File file = probe::read(path(name), probe::WITH_PICTURES);
        EXPECT_EQ(file.pictures.size(), 3u) << name;
        for (size_t frame = 0; frame < std::min<size_t>(3, file.pictures.size()); ++frame) {
            expected.draw_test_pattern(int(frame));
            EXPECT_TRUE(std::equal(expected.samples(), expected.samples() + expected.sample_count(),
                                   file.pictures[frame].begin(), file.pictures[frame].end()))
                << name << " frame " << frame;
        }
    }
}

// The host's paths hold 259 characters. A longer one is refused, not cut: a
// cut path would never equal the request again and reopen the output every frame.
TEST_F(RequestTest, APathPastTheHostsLimitIsRefusedNotCut) {
    for (const size_t length : {size_t(260), size_t(259)}) {
        SCOPED_TRACE(length);
        auto host = open_panel({{"klavformat", items::MATROSKA}});
        const std::string file = path(std::string(length - dir.size() - 5, 'p') + ".mkv");
        const bool fits = length < 260;
        EXPECT_EQ(render_frames(*host, file, 3), fits);
        EXPECT_EQ(logged(host->log(), "QelFFmpegWriter: output path is longer than 259 characters"), !fits);
        EXPECT_EQ(probe::read(file).video_frames, fits ? 3 : 0);
        EXPECT_EQ(files_in_dir(), fits ? 1u : 0u) << "nothing under a cut name";
    }
}

struct SliceCase {
    const char* name;
    std::initializer_list<int> channels = {1, 2};  // ticked, of the host's four
    int32_t bits = 16;
    int64_t samples = -1;                               // the clip's; -1: as many as asked for
    std::function<int64_t(int64_t)> answer = nullptr;  // what read_audio says it delivered
    bool clipSound = true, video = true;
    double fps = 25;
    int frames = 3;
    uint32_t mask = 0b11;
};
void PrintTo(const SliceCase& c, std::ostream* os) { *os << c.name; }
class Slices : public RequestTest, public ::testing::WithParamInterface<SliceCase> {};

// Each frame asks for its own slice of the host's sound, adjacent to the last;
// 24-bit samples are read as 32-bit. Sound goes in only when the clip has some
// and a channel is ticked; with video off the host is told the output is sound
// only. Where the clip ends or read_audio miscounts, the sound still lasts as
// long as the pictures, silence after the host's samples (unsigned 8-bit silence
// rests at 128), and no count moves the module past its own buffer (the
// sanitizer build sees any read beyond it).
TEST_P(Slices, EachFrameReadsItsOwnSliceOfTheTickedChannels) {
    const SliceCase& c = GetParam();
    standin_set_max_audio_channels(4);
    auto host = pcm_panel(items::MOV, c.channels);
    if (!c.video) {
        ASSERT_TRUE(host->choose("klavvideocodec", items::NO_VIDEO));
    }
    if (c.clipSound) {
        host->node().audio = AudioClip::tone(48000, 4, c.bits);
        host->node().audio->length = c.samples;
    }
    host->node().misreport = c.answer;
    const std::string file = path(std::string(c.name) + ".mov");
    QEL_OutputInfo info{};
    ASSERT_TRUE(host->output_info(info));
    EXPECT_EQ(info.audio_only, 0) << "nothing is open yet";
    ASSERT_TRUE(send_frames(*host, file, c.frames, 0, c.fps));
    ASSERT_TRUE(host->output_info(info));
    EXPECT_EQ(info.audio_only, c.video ? 0 : 1);
    ASSERT_TRUE(finish(*host));

    const bool sound = c.clipSound && c.channels.size() > 0;
    const std::vector<AudioRead>& reads = host->node().audio_reads();
    ASSERT_EQ(reads.size(), sound ? size_t(c.frames) : 0u);
    const int bits = c.bits == 24 ? 32 : c.bits;
    int64_t next = 0;
    for (size_t f = 0; f < reads.size(); ++f) {
        SCOPED_TRACE(f);
        EXPECT_NEAR(reads[f].start_seconds, double(f) / c.fps, 1e-9);
        EXPECT_EQ(std::llround(reads[f].start_seconds * 48000), next) << "follows the last";
        EXPECT_LT(std::abs(double(reads[f].count) - 48000 / c.fps), 1) << reads[f].count;
        EXPECT_TRUE(reads[f].channel_mask == c.mask && reads[f].bits == bits);
        EXPECT_EQ(reads[f].buffer_size, reads[f].count * 2 * bits / 8);
        next += reads[f].count;
    }
    EXPECT_EQ(next, sound ? std::llround(c.frames * 48000 / c.fps) : 0);
    const probe::File movie = probe::read(file);
    EXPECT_TRUE(movie.errors.empty()) << movie.error_text();
    EXPECT_EQ(movie.count(AVMEDIA_TYPE_VIDEO), c.video ? 1 : 0);
    EXPECT_EQ(movie.video_frames, c.video ? c.frames : 0);
    EXPECT_EQ(movie.count(AVMEDIA_TYPE_AUDIO), sound ? 1 : 0);
    ASSERT_EQ(movie.audio_samples, next);
    if (!sound || c.samples < 0) return;
    EXPECT_EQ(movie.first(AVMEDIA_TYPE_AUDIO)->channels, 2);
    const auto loudest = [&](int64_t from, int64_t to) {
        double peak = 0;
        for (int64_t i = from; i < to; ++i) peak = std::max(peak, std::fabs(movie.samples[0][size_t(i)]));
        return peak;
    };
    if (c.samples > 0) {
        EXPECT_GT(loudest(0, c.samples), 0.1) << "the host's own samples";
    }
    EXPECT_EQ(loudest(c.samples, next), 0.0);
}

const SliceCase SLICES[] = {
    {"no_channel_ticked", {}},
    {"clip_without_sound", {1, 2}, 16, -1, nullptr, false},
    {"video_off", {1, 2}, 16, -1, nullptr, true, false},
    {"ntsc", {1, 2}, 16, -1, nullptr, true, true, 30000.0 / 1001, 20},
    {"two_of_four_at_24_bits", {1, 3}, 24, -1, nullptr, true, true, 25, 3, 0b101},
    {"ends_in_the_first_frame", {1, 2}, 16, 1000},
    {"ends_in_the_third_frame", {1, 2}, 16, 5000},
    {"8_bits_ending_in_the_first_frame", {1, 2}, 8, 1000},
    {"none_at_all", {1, 2}, 16, 0},
    {"negative_count", {1, 2}, 16, -1, [](int64_t) { return int64_t(-7); }},
    {"far_more_than_asked", {1, 2}, 16, -1, [](int64_t delivered) { return delivered * 1000 + 1; }},
    {"largest_count", {1, 2}, 16, -1, [](int64_t) { return std::numeric_limits<int64_t>::max(); }},
};
INSTANTIATE_TEST_SUITE_P(, Slices, ::testing::ValuesIn(SLICES), row_name<SliceCase>);
