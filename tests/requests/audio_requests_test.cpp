// The sound of frame requests: which slice of the host's audio each frame
// asks for, which channels, and what reaches the file.
#include "request_fixture.h"

#include <cmath>

using qelhost::AudioClip;
using qelhost::AudioRead;

class AudioRequests : public RequestTest {
protected:
    // Lossless PCM in mov, so sample counts in the file are exact.
    std::unique_ptr<qelhost::StandinHost> pcm_host(std::initializer_list<int> channels = {1, 2}) {
        auto host = open_panel({{"klavformat", items::MOV}, {"klavaudiocodec", items::PCM16}});
        for (int n : channels) EXPECT_TRUE(host->change("ffaudioChan" + std::to_string(n), 1));
        return host;
    }

    static qelhost::TestPatternClip clip(double fps, int64_t frames, AudioClip audio) {
        return qelhost::TestPatternClip({32, 24, 4, fps, frames, std::move(audio), {}});
    }
};

TEST_F(AudioRequests, EachFrameAsksForItsOwnAdjacentSlice) {
    struct Case {
        double fps;
        int64_t frames;
        std::vector<int64_t> lengths;  // what the slices may be
    };
    for (const Case& c : {Case{25, 10, {1920}}, Case{30000.0 / 1001.0, 20, {1601, 1602}}}) {
        SCOPED_TRACE(c.fps);
        auto host = pcm_host();
        auto clip = AudioRequests::clip(c.fps, c.frames, AudioClip::tone());
        const std::string file = path("slices_" + std::to_string(int(c.fps)) + ".mov");
        ASSERT_TRUE(qelhost::render(*host, clip, to(file)).ok());

        const std::vector<AudioRead>& reads = host->node().audio_reads();
        ASSERT_EQ(reads.size(), size_t(c.frames));
        EXPECT_EQ(reads[0].start_seconds, 0.0);
        int64_t next = 0;
        for (size_t f = 0; f < reads.size(); ++f) {
            EXPECT_NEAR(reads[f].start_seconds, double(f) / c.fps, 1e-9);
            EXPECT_EQ(std::llround(reads[f].start_seconds * 48000), next) << "frame " << f << " follows the last";
            EXPECT_NE(std::find(c.lengths.begin(), c.lengths.end(), reads[f].count), c.lengths.end())
                << "frame " << f << " asks for " << reads[f].count;
            EXPECT_EQ(reads[f].buffer_size, reads[f].count * 2 * 2);
            next += reads[f].count;
        }
        EXPECT_EQ(next, std::llround(double(c.frames) * 48000 / c.fps));
        EXPECT_EQ(probe::read(file).audio_samples, next);
    }
}

TEST_F(AudioRequests, ChannelTogglesChooseTheChannelsAnd24BitAudioIsReadAs32Bit) {
    standin_set_max_audio_channels(4);
    auto host = pcm_host({1, 3});
    auto clip = AudioRequests::clip(25, 2, AudioClip::tone(48000, 4, 24));
    ASSERT_TRUE(qelhost::render(*host, clip, to(path("two_of_four.mov"))).ok());

    const std::vector<AudioRead>& reads = host->node().audio_reads();
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].channel_mask, 0b101u);
    EXPECT_EQ(reads[0].bits, 32);
    EXPECT_EQ(reads[0].bytes_per_sample, 4);
    EXPECT_EQ(reads[0].buffer_size, 1920 * 2 * 4);
    const probe::File file = probe::read(path("two_of_four.mov"));
    ASSERT_NE(file.first(AVMEDIA_TYPE_AUDIO), nullptr);
    EXPECT_EQ(file.first(AVMEDIA_TYPE_AUDIO)->channels, 2);
    EXPECT_TRUE(host->faults().empty());
}

namespace {

struct StreamCase {
    const char* name;
    std::initializer_list<int> channels;  // ticked in the panel
    bool clipSound;
    bool video;
};

}  // namespace

// Sound goes in only when the clip has some and a channel is ticked; with
// video off the host is told the output is sound only.
TEST_F(AudioRequests, TheFileCarriesOnlyTheStreamsThereAreToWrite) {
    const StreamCase cases[] = {{"no channel ticked", {}, true, true},
                                {"clip without sound", {1, 2}, false, true},
                                {"video off", {1, 2}, true, false}};
    for (const StreamCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto host = pcm_host(c.channels);
        if (!c.video) {
            ASSERT_TRUE(host->choose("klavvideocodec", items::NO_VIDEO));
        }
        if (c.clipSound) host->node().audio = AudioClip::tone();
        const std::string file = path(std::string(c.name) + ".mov");
        QEL_OutputInfo info{};
        ASSERT_TRUE(host->output_info(info));
        EXPECT_EQ(info.audio_only, 0) << "nothing is open yet";
        ASSERT_TRUE(send_frames(*host, file, 3));
        ASSERT_TRUE(host->output_info(info));
        EXPECT_EQ(info.audio_only, c.video ? 0 : 1);
        ASSERT_TRUE(finish(*host));

        const bool sound = c.clipSound && c.channels.size() > 0;
        EXPECT_EQ(host->node().audio_reads().size(), sound ? 3u : 0u);
        const probe::File movie = probe::read(file);
        EXPECT_EQ(movie.count(AVMEDIA_TYPE_VIDEO), c.video ? 1 : 0);
        EXPECT_EQ(movie.video_frames, c.video ? 3 : 0);
        EXPECT_EQ(movie.count(AVMEDIA_TYPE_AUDIO), sound ? 1 : 0);
        EXPECT_EQ(movie.audio_samples, sound ? 3 * 1920 : 0);
    }
}
