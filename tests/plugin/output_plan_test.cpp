// Planning an output: the panel's values, the shown lists, the host's sound
// and the opening frame's request turned into writer settings and slicing.
#include "common/control_values.h"
#include "plugin/output_plan.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/codec_par.h>
#include <libavutil/pixfmt.h>
#include <libavutil/samplefmt.h>
}

#include <cmath>
#include <string>

namespace {

struct PlanCase {
    const char* name;
    HostAudioFormat host;
    double fps;
    int32_t audioEncoderIndex;  // 0: the no-entry row
    bool audio_on;
    int32_t sampleRate, bitsPerSample, inSampleFormat;  // when audio is on
    double slicingFps;
};

HostAudioFormat host_audio(double rate, int32_t bits) {
    return HostAudioFormat{true, rate, bits, (bits + 7) / 8, 2, 1};
}

const PlanCase CASES[] = {
    {"sixteen_bit_48k", host_audio(48000, 16), 25, 1, true, 48000, 16, AV_SAMPLE_FMT_S16, 25},
    {"eight_bit", host_audio(22050, 8), 25, 1, true, 22050, 8, AV_SAMPLE_FMT_U8, 25},
    {"fractional_rate_is_rounded_once", host_audio(44099.7, 16), 25, 1, true, 44100, 16, AV_SAMPLE_FMT_S16, 25},
    {"ntsc_slices_at_the_exact_fraction", host_audio(48000, 16), 29.97, 1, true, 48000, 16, AV_SAMPLE_FMT_S16,
     30000.0 / 1001.0},
    {"no_rate_slices_at_24", host_audio(48000, 16), 0, 1, true, 48000, 16, AV_SAMPLE_FMT_S16, 24},
    {"no_audio_encoder", host_audio(48000, 16), 25, 0, false, 0, 0, 0, 25},
    {"rate_below_one", host_audio(0.3, 16), 25, 1, false, 0, 0, 0, 25},
    {"rate_not_a_number", host_audio(std::nan(""), 16), 25, 1, false, 0, 0, 0, 25},
    {"rate_past_32_bits", host_audio(3e9, 16), 25, 1, false, 0, 0, 0, 25},
};

class Plan : public ::testing::TestWithParam<PlanCase> {
protected:
    void SetUp() override {
        control_values::install(controls);
        lists.video_encoders = {{0, "-- NO VIDEO --", "-- NO VIDEO --", 0, false}, {0, "mpeg4", "MPEG-4", 0, false}};
        lists.audio_encoders = {{0, "-- NO AUDIO --", "-- NO AUDIO --", 1, false}, {0, "pcm_s16le", "PCM", 1, false}};
        lists.pixel_formats = {{"yuv420p", AV_PIX_FMT_YUV420P, false}};
        lists.video_profiles = {{"Main", 1, false}};
        lists.sample_formats = {{"s16", AV_SAMPLE_FMT_S16, false}};
        set(&Controls::m_videoEncoder, 1);
        params.channels = 4;
        for (int channel = 0; channel < 2; ++channel) control_values::set_bool(controls.m_audioChannels[channel], true);
    }
    void set(uint32_t Controls::*control, int32_t value) { control_values::set_int(controls.*control, value); }

    OutputPlan plan(const HostAudioFormat& audio, double fps = 25, bool noMetadata = false) {
        params.fps = fps;
        params.timecode = "01:00:00:00";
        return plan_output(controls, lists, {params, audio, metadata, noMetadata});
    }

    Controls controls{nullptr, nullptr};
    PanelLists lists;
    QEL_FrameParams params{};
    std::vector<MetadataPair> metadata;
};

}  // namespace

TEST_P(Plan, SoundIsSlicedAtWholeRatesOrLeftOut) {
    const PlanCase& c = GetParam();
    set(&Controls::m_audioEncoder, c.audioEncoderIndex);
    const OutputPlan p = plan(c.host, c.fps);
    EXPECT_TRUE(p.audio_on == c.audio_on && p.video_on);
    EXPECT_DOUBLE_EQ(p.audio.fps, c.slicingFps);
    if (!c.audio_on) {
        EXPECT_EQ(p.settings.audioCodecName, nullptr) << "no sound stream without sound to slice";
        return;
    }
    EXPECT_STREQ(p.settings.audioCodecName, "pcm_s16le");
    EXPECT_TRUE(p.audio.sample_rate == c.sampleRate && p.settings.inSampleRate == c.sampleRate) << p.audio.sample_rate;
    EXPECT_TRUE(p.audio.bits_per_sample == c.bitsPerSample && p.audio.bytes_per_sample == (c.bitsPerSample + 7) / 8);
    EXPECT_EQ(p.settings.inSampleFormat, c.inSampleFormat);
    EXPECT_TRUE(p.audio.channels == 2 && p.settings.channels == 2 && p.audio.channel_mask == 0b11u);
    EXPECT_EQ(p.audio.flags, 0) << "the host's first flag is never passed back";
}

INSTANTIATE_TEST_SUITE_P(HostSound, Plan, ::testing::ValuesIn(CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Plan, PictureSettingsComeFromTheRequestAndTheListsAtTheControlsIndices) {
    metadata = {{"title", "Take 3"}};
    params.field_order = 2;
    set(&Controls::m_keyFrames, 12);
    OutputPlan p = plan(host_audio(48000, 16), 25, true);
    EXPECT_STREQ(p.settings.containerName, "mov") << "an index past the container list falls back";
    EXPECT_STREQ(p.settings.videoCodecName, "mpeg4");
    EXPECT_STREQ(p.settings.videoProfile, "Main");
    EXPECT_TRUE(p.settings.outPixelFormat == AV_PIX_FMT_YUV420P && p.settings.inPixelFormat == AV_PIX_FMT_RGBA64LE);
    EXPECT_TRUE(p.settings.fieldOrder == AV_FIELD_BT && p.settings.keyFrameInterval == 12);
    EXPECT_TRUE(p.settings.metadataCount == 1 && p.settings.metadataPairs == metadata.data() && p.settings.noMetadata);
    EXPECT_STREQ(p.settings.timecode, "01:00:00:00");

    // Indices past the lists: no profile, no pixel format, no video.
    set(&Controls::m_pixelFormat, 1);
    set(&Controls::m_videoProfile, -1);
    set(&Controls::m_videoEncoder, 0);
    params.channels = 3;
    metadata.clear();
    p = plan(host_audio(48000, 16));
    EXPECT_TRUE(p.settings.outPixelFormat == -1 && !p.settings.videoProfile);
    EXPECT_TRUE(!p.settings.videoCodecName && !p.video_on);
    EXPECT_EQ(p.settings.inPixelFormat, AV_PIX_FMT_RGB48LE);
    EXPECT_EQ(p.settings.metadataPairs, nullptr) << "no pairs, no pointer";
}
