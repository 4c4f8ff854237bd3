// Profile, pixel-format and sample-format lists of chosen encoders.
#include "catalogue/catalogue.h"

#include "catalogue/profiles.h"
#include "base/compat.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
}

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> labels_of(const ChoiceList& list) {
    std::vector<std::string> labels;
    for (const ChoiceEntry& entry : list) labels.emplace_back(entry.label);
    return labels;
}

}  // namespace

TEST(Profiles, TableRowsWithTheirDefault) {
    struct Case {
        const char* encoder;
        std::vector<std::string> labels;
        const char* chosen;  // the one default
    };
    for (const Case& c : {Case{"libx264", {"Baseline", "Main", "High", "High10", "High422", "High444"}, "High"},
                          Case{"libx264rgb", {}, nullptr}, Case{"aac", {"AAC-Low"}, "AAC-Low"}}) {
        ChoiceList profiles;
        list_profiles(c.encoder, profiles);
        EXPECT_EQ(labels_of(profiles), c.labels) << c.encoder;
        std::vector<std::string> defaults;
        for (const ChoiceEntry& entry : profiles) {
            EXPECT_EQ(entry.value, -1) << entry.label << ": the writer sets it by name";
            if (entry.is_default) defaults.emplace_back(entry.label);
        }
        EXPECT_EQ(defaults, c.chosen ? std::vector<std::string>{c.chosen} : std::vector<std::string>{}) << c.encoder;
    }
}

TEST(Profiles, ProresShowsFfmpegsOwnProfiles) {
    for (const char* name : {"prores_ks", "prores_aw"}) {
        SCOPED_TRACE(name);
        const AVCodec* codec = avcodec_find_encoder_by_name(name);
        ASSERT_NE(codec, nullptr);
        ASSERT_NE(codec->profiles, nullptr);
        ChoiceList profiles;
        list_profiles(name, profiles);
        size_t i = 0;
        for (const AVProfile* p = codec->profiles; p->profile != AV_PROFILE_UNKNOWN; ++p, ++i) {
            ASSERT_LT(i, profiles.size());
            EXPECT_STREQ(profiles[i].label, p->name);
            EXPECT_EQ(profiles[i].value, p->profile);
            EXPECT_FALSE(profiles[i].is_default);
            // The label the list shows leads back to the same profile.
            EXPECT_EQ(ffmpeg_profile_for_label(*codec, profiles[i].label), p->profile);
        }
        EXPECT_EQ(i, profiles.size());
        EXPECT_EQ(ffmpeg_profile_for_label(*codec, "High quality"), NO_PROFILE);  // not a shown label today
    }
}

// No encoder, or a name FFmpeg does not know, leaves nothing of the last encoder's lists.
TEST(EncoderLists, UnknownOrMissingEncoderEmptiesEveryList) {
    for (const char* name : {static_cast<const char*>(nullptr), NO_VIDEO_TEXT, "nosuch"}) {
        const ChoiceEntry stale{"stale", 1, false};
        ChoiceList profiles{stale}, pixels{stale}, samples{stale};
        list_profiles(name, profiles);
        list_pixel_formats(name, pixels);
        list_sample_formats(name, samples);
        EXPECT_TRUE(profiles.empty() && pixels.empty() && samples.empty()) << (name ? name : "no name");
    }
}

TEST(PixelFormats, EncodersOwnListOrTheSixteenFallbacks) {
    ChoiceList formats;
    list_pixel_formats("libx264", formats);
    const auto x264 = ffcompat::pixel_formats(avcodec_find_encoder_by_name("libx264"));
    ASSERT_EQ(formats.size(), size_t(x264.count));
    for (int i = 0; i < x264.count; ++i) {
        EXPECT_EQ(formats[i].value, x264.items[i]);
        EXPECT_STREQ(formats[i].label, av_get_pix_fmt_name(x264.items[i]));
    }

    // rawvideo declares no pixel formats.
    list_pixel_formats("rawvideo", formats);
    ASSERT_EQ(formats.size(), 16u);
    EXPECT_STREQ(formats.back().label, "bgra64le");
    for (const ChoiceEntry& entry : formats) EXPECT_EQ(entry.value, av_get_pix_fmt(entry.label));

    list_pixel_formats("aac", formats);
    EXPECT_TRUE(formats.empty());
}

TEST(SampleFormats, DeclaredFormatsOfAudioEncodersOnly) {
    ChoiceList formats;
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"aac", {"fltp"}}, {"pcm_s24le", {"s32"}}, {"libx264", {}}, {NO_AUDIO_TEXT, {}}};
    for (const auto& [name, labels] : cases) {
        list_sample_formats(name, formats);
        EXPECT_EQ(labels_of(formats), labels) << name;
        for (const ChoiceEntry& entry : formats) EXPECT_EQ(entry.value, av_get_sample_fmt(entry.label));
    }
}

TEST(SampleFormats, TheEncodersFormatForHostSamples) {
    const ChoiceList floatsOnly = {{"fltp", AV_SAMPLE_FMT_FLTP, false}};
    const ChoiceList planar16 = {{"s32", AV_SAMPLE_FMT_S32, false}, {"s16p", AV_SAMPLE_FMT_S16P, false}};
    const ChoiceList both = {{"s16p", AV_SAMPLE_FMT_S16P, false}, {"s16", AV_SAMPLE_FMT_S16, false},
                             {"s32", AV_SAMPLE_FMT_S32, false}};
    EXPECT_EQ(choose_out_sample_format(floatsOnly, true, AV_SAMPLE_FMT_S16), AV_SAMPLE_FMT_FLTP);
    EXPECT_EQ(choose_out_sample_format(planar16, true, AV_SAMPLE_FMT_S32), AV_SAMPLE_FMT_S16P);
    EXPECT_EQ(choose_out_sample_format(both, true, AV_SAMPLE_FMT_S32), AV_SAMPLE_FMT_S16);
    EXPECT_EQ(choose_out_sample_format(both, false, AV_SAMPLE_FMT_S32), AV_SAMPLE_FMT_S32);
    EXPECT_EQ(choose_out_sample_format(floatsOnly, false, AV_SAMPLE_FMT_S32), AV_SAMPLE_FMT_FLTP);
    EXPECT_EQ(choose_out_sample_format({}, true, AV_SAMPLE_FMT_S16), -1);
    const std::pair<int, AVSampleFormat> hostBits[] = {
        {8, AV_SAMPLE_FMT_U8}, {9, AV_SAMPLE_FMT_S16}, {16, AV_SAMPLE_FMT_S16}, {17, AV_SAMPLE_FMT_S32}, {32, AV_SAMPLE_FMT_S32}};
    for (const auto& [bits, format] : hostBits)
        EXPECT_EQ(input_sample_format(bits), format) << bits;
}
