// Sound a host renders, read back with FFmpeg's decoders: every host sample
// reaches the file, in step with the pictures, on the right channel, at the
// nearest rate the encoder takes and with every ticked channel mixed in.
#include "base/log.h"
#include "common/tones.h"
#include "requests/request_fixture.h"

namespace {

struct Sound {
    const char* name;
    const char* container;
    const char* codec;
    bool lossless;
    int decodedSlack;  // the decoder gives a short last frame whole; ac3 takes whole frames only
    int endSlack;      // from the container's end of the audio to the samples sent (webm keeps opus's last packet)
    // Priming the container may not declare (ac3, mp2 in matroska): decoders keep it, newer muxers put it before zero.
    int undeclaredPriming = 0;
    int frames = 300;  // where the last encoder frame is cut matters to encoders that keep nothing back
    int bits = 16, rate = 48000, channels = 2;
    bool stereo = false, sixteenBit = true;
    int fileRate = 48000;
};
void PrintTo(const Sound& c, std::ostream* out) { *out << c.name; }

class HostSound : public RequestTest, public testing::WithParamInterface<Sound> {};

TEST_P(HostSound, FileHoldsEveryHostSampleInStepWithThePictures) {
    const Sound& c = GetParam();
    standin_set_max_audio_channels(c.channels);
    const std::string video = item_of(c.container, std::string(c.container) == "webm" ? "libvpx" : "mpeg4");
    auto host = open_panel({{"klavformat", item_of(c.container).c_str()},
                            {"klavvideocodec", video.c_str()},
                            {"klavaudiocodec", item_of(c.container, c.codec, false).c_str()}});
    EXPECT_TRUE(host->change("klavstereo", c.stereo) && host->change("klav16bit", c.sixteenBit));
    for (int n = 1; n <= c.channels; ++n) EXPECT_TRUE(host->change("ffaudioChan" + std::to_string(n), 1));
    qelhost::TestPatternClip::Settings settings;
    settings.width = 64;
    settings.height = 48;
    settings.fps = 30000.0 / 1001.0;
    settings.frames = c.frames;
    settings.audio = qelhost::AudioClip::tone(c.rate, c.channels, c.bits);
    qelhost::TestPatternClip clip(settings);
    const std::string file = path(std::string(c.name) + ".out");
    ASSERT_TRUE(qelhost::render(*host, clip, to(file)).ok()) << testing::PrintToString(host->log().texts(LOG_ERROR));
    int64_t sent = 0;  // per channel, at the host's rate
    for (const qelhost::AudioRead& read : host->node().audio_reads()) sent += read.count;
    const bool changed = c.fileRate != c.rate;
    EXPECT_EQ(logged(host->log(), "QelFFmpegWriter: Requested sampling rate (" + std::to_string(c.rate) +
                                      "Hz) unsupported, using " + std::to_string(c.fileRate) + "Hz instead.", LOG_WARNING),
              changed);
    EXPECT_FALSE(logged(host->log(), "Audio timestamp", LOG_WARNING));

    const probe::File movie = probe::read(file);
    ASSERT_TRUE(movie.opened) << movie.error_text();
    ASSERT_EQ(movie.streams[0].type, AVMEDIA_TYPE_AUDIO) << "audio is the first stream";
    EXPECT_EQ(movie.sample_rate, c.fileRate);
    ASSERT_EQ(movie.samples.size(), 2u);
    // The decoder drops the priming and padding the container declares; the resampler's last samples are in too.
    const int64_t expected = sent * c.fileRate / c.rate;
    EXPECT_GE(movie.audio_samples, expected - (changed ? 2 : 0));
    EXPECT_LE(movie.audio_samples, expected + c.decodedSlack);
    EXPECT_TRUE(changed || std::abs(movie.audio_end_samples - sent) <= c.endSlack) << "end " << movie.audio_end_samples;
    EXPECT_GE(movie.audio_start, -c.undeclaredPriming / 48000.0 - 1e-3);
    EXPECT_LE(movie.audio_start, 1e-3);
    EXPECT_EQ(movie.video_frames, c.frames);
    // Undeclared priming ends the sound that much later, and a whole last encoder frame later still.
    const double endSeconds = c.undeclaredPriming == 0 ? 1 / settings.fps : std::max(1 / settings.fps, c.endSlack / 48000.0);
    EXPECT_LT(std::abs(movie.audio_seconds() - movie.video_seconds), endSeconds)
        << "audio " << movie.audio_seconds() << " s, video " << movie.video_seconds << " s";

    using qelhost::AudioClip;
    const auto frequency = AudioClip::tone_pitch;
    const auto amplitude = [&](int fileChannel, int hostChannel) {
        return tone_amplitude(movie.samples[size_t(fileChannel)], frequency(hostChannel), movie.sample_rate);
    };
    for (int channel = 0; channel < 2 && c.channels == 2; ++channel) {
        SCOPED_TRACE("channel " + std::to_string(channel));
        const std::vector<double>& decoded = movie.samples[size_t(channel)];
        // The sound lasts to the last host sample, wherever the priming went.
        EXPECT_GE(sound_length(decoded, AudioClip::tone_level), expected - 16);
        // Without priming, decoded sample n is host sample n.
        const auto host_sample = [&](int64_t n) { return settings.audio->sample(channel, n); };
        if (c.undeclaredPriming == 0 && !changed) { EXPECT_GT(host_correlation(decoded, host_sample), 0.98); }
        EXPECT_GT(tone_correlation(decoded, frequency(channel), movie.sample_rate), 0.98);
        EXPECT_LT(tone_correlation(decoded, frequency(1 - channel), movie.sample_rate), 0.05);
        EXPECT_NEAR(amplitude(channel, channel), AudioClip::tone_level, 0.05);
    }
    // Mixed into two, the LFE slot's tone is in too; left and right stay apart.
    for (int channel = 0; channel < c.channels; ++channel)
        EXPECT_GT(std::max(amplitude(0, channel), amplitude(1, channel)), 0.1 * AudioClip::tone_level) << "host " << channel;
    EXPECT_GT(amplitude(0, 0), 10 * amplitude(1, 0));
    EXPECT_GT(amplitude(1, 1), 10 * amplitude(0, 1));
    // Lossless: bit for bit, from the first sample on, at the file's depth (24 bits of the host's 32).
    const double full = c.bits == 16 ? 32767.0 : 2147483647.0, scale = c.bits == 16 ? 32768.0 : 2147483648.0;
    int mismatches = 0;
    for (int64_t n = 0; c.lossless && n < sent && mismatches < 5; ++n)
        for (int channel = 0; channel < 2; ++channel) {
            int64_t code = std::llround(settings.audio->sample(channel, n) * full);
            if (c.bits > 16) code &= ~int64_t(0xFF);
            if (movie.samples[size_t(channel)][size_t(n)] != double(code) / scale && ++mismatches)
                ADD_FAILURE() << "sample " << n << " of channel " << channel;
        }
}

// 46050 Hz lies 1950 Hz from both 44100 and 48000: each encoder's own order
// decides; one that takes any rate gets the host's. With "Stereo" on, encoders
// that refuse the downmix layout (aac, ac3) and one that takes it (flac) get
// all six tones in two channels; mp2 without "Stereo" declares only mono and
// stereo, so four channels go to its widest.
INSTANTIATE_TEST_SUITE_P(
    , HostSound,
    testing::Values(
        Sound{"aac_mp4", "mp4", "aac", false, 1024, 48},
        Sound{"aac_stereo_mp4", "mp4", "aac", false, 1024, 48, 0, 300, 16, 48000, 2, true},
        Sound{"mp3_mov", "mov", "libmp3lame", false, 1152, 48},
        Sound{"mp3_32bit_mov", "mov", "libmp3lame", false, 1152, 48, 0, 300, 24, 48000, 2, false, false},
        Sound{"ac3_mkv", "matroska", "ac3", false, 256 + 1536, 256 + 1536, 256, 302},
        Sound{"mp2_mkv", "matroska", "mp2", false, 1152 + 481, 1152 + 481, 481, 299},
        Sound{"opus_webm", "webm", "libopus", false, 0, 960},
        Sound{"pcm16_mov", "mov", "pcm_s16le", true, 0, 48},
        // An 8-bit host's samples are centred on silence.
        Sound{"pcm16_u8host_mov", "mov", "pcm_s16le", false, 0, 48, 0, 300, 8},
        Sound{"pcm24_mov", "mov", "pcm_s24le", true, 0, 48, 0, 300, 24, 48000, 2, false, false},
        Sound{"flac_mkv", "matroska", "flac", true, 0, 48},
        Sound{"alac_stereo_mov", "mov", "alac", true, 0, 48, 0, 300, 16, 48000, 2, true},
        Sound{"opus_from_44100", "webm", "libopus", false, 2, 960, 0, 30, 16, 44100, 2, false, true, 48000},
        Sound{"mp3_from_46050", "mov", "libmp3lame", false, 1152, 0, 0, 30, 16, 46050, 2, false, true, 44100},
        Sound{"aac_from_46050", "mov", "aac", false, 1024, 0, 0, 30, 16, 46050, 2, false, true, 48000},
        Sound{"pcm_at_44099", "mov", "pcm_s16le", false, 0, 48, 0, 30, 16, 44099, 2, false, true, 44099},
        Sound{"aac_six_mp4", "mp4", "aac", false, 1024, 48, 0, 30, 16, 48000, 6, true},
        Sound{"ac3_six_mkv", "matroska", "ac3", false, 256 + 1536, 256 + 1536, 256, 30, 16, 48000, 6, true},
        Sound{"flac_six_mkv", "matroska", "flac", false, 0, 48, 0, 30, 16, 48000, 6, true},
        Sound{"mp2_four_mkv", "matroska", "mp2", false, 1152 + 481, 1152 + 481, 481, 30, 16, 48000, 4}),
    row_name<Sound>);

}  // namespace
