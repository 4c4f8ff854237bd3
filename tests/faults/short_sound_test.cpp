// A host whose clip has less sound than the module asks for, or that
// miscounts what it delivered, and stored choices that point past the lists.
// The sound keeps pace with the pictures, padded with silence; nothing is
// read outside the module's buffer; the module says what it cannot do.
#include "common/fd_count.h"
#include "requests/request_fixture.h"

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>

namespace {

constexpr int FRAMES = 4;
constexpr int64_t SLICE = 1920;  // samples of one frame at 48 kHz and 25 fps

qelhost::TestPatternClip clip_with_sound(int64_t samples, int32_t bits = 16) {
    qelhost::TestPatternClip::Settings settings;
    settings.width = 64;
    settings.height = 48;
    settings.frames = FRAMES;
    settings.audio = qelhost::AudioClip::tone(48000, 2, bits);
    settings.audio->length = samples;
    return qelhost::TestPatternClip(settings);
}

double loudest(const std::vector<double>& samples, size_t from, size_t to) {
    double peak = 0;
    for (size_t i = from; i < to && i < samples.size(); ++i) peak = std::max(peak, std::fabs(samples[i]));
    return peak;
}

}  // namespace

class ShortSound : public RequestTest {
protected:
    std::unique_ptr<qelhost::StandinHost> pcm_panel() {
        auto host = open_panel({{"klavformat", items::MATROSKA}, {"klavaudiocodec", items::PCM16}});
        EXPECT_TRUE(host->change("ffaudioChan1", 1));
        EXPECT_TRUE(host->change("ffaudioChan2", 1));
        return host;
    }
};

namespace {

struct SoundCase {
    const char* name;
    int64_t samples;                           // the clip's; -1: more than the pictures need
    std::function<int64_t(int64_t)> answer;   // what read_audio says it delivered; none: the truth
    int32_t bits = 16;                         // unsigned 8-bit silence rests at 128, not 0
};

}  // namespace

// The clip's sound ends inside the first or the third frame, or is not there
// though the host says it is; or read_audio answers a count that is not what
// it wrote. The file's sound still lasts as long as its pictures, the host's
// samples first, silence after; no count moves the module past its own
// buffer (the sanitizer build sees any read beyond it).
TEST_F(ShortSound, TheSoundKeepsPaceWithThePicturesWhateverTheHostDelivers) {
    const SoundCase cases[] = {
        {"ends_in_the_first_frame", 1000, nullptr},
        {"ends_in_the_third_frame", 5000, nullptr},
        {"eight_bit_ends_in_the_first_frame", 1000, nullptr, 8},
        {"none_at_all", 0, nullptr},
        {"negative_count", -1, [](int64_t) { return int64_t(-7); }},
        {"far_more_than_asked", -1, [](int64_t delivered) { return delivered * 1000 + 1; }},
        {"largest_count", -1, [](int64_t) { return std::numeric_limits<int64_t>::max(); }},
    };
    for (const SoundCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto host = pcm_panel();
        qelhost::TestPatternClip clip = clip_with_sound(c.samples, c.bits);
        host->node().misreport = c.answer;
        const std::string file = path(std::string(c.name) + ".mkv");
        ASSERT_TRUE(qelhost::render(*host, clip, to(file)).ok());

        const probe::File movie = probe::read(file);
        EXPECT_TRUE(movie.errors.empty()) << movie.error_text();
        EXPECT_EQ(movie.video_frames, FRAMES);
        ASSERT_EQ(movie.audio_samples, FRAMES * SLICE);
        if (c.samples < 0) continue;
        for (const qelhost::AudioRead& read : host->node().audio_reads()) EXPECT_LE(read.delivered, read.count);
        if (c.samples > 0) {
            EXPECT_GT(loudest(movie.samples[0], 0, size_t(c.samples)), 0.1) << "the host's own samples";
        }
        EXPECT_EQ(loudest(movie.samples[0], size_t(c.samples), movie.samples[0].size()), 0.0);
    }
}

// A slice too big to hold (a 2 GHz host at a tenth of a frame a second
// asks for 80 GB of 16-bit stereo): the request fails saying so, for
// skipping the slice would shift all later sound against the pictures.
TEST_F(ShortSound, ASliceTheModuleCannotHoldFailsTheRequest) {
    auto host = pcm_panel();
    host->node().audio = qelhost::AudioClip::tone(2e9);
    qelhost::Picture picture(64, 48);
    qelhost::FrameRequest request;
    request.picture = &picture;
    request.fps = 0.1;
    request.path = path("huge-slice.mkv");
    EXPECT_FALSE(host->process(request));
    EXPECT_TRUE(host->log().contains(4, "QelFFmpegWriter: memory allocation error (audio samples)"));
    EXPECT_TRUE(finish(*host));
    EXPECT_TRUE(host->faults().empty());
}
