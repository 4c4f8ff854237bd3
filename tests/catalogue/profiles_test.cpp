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

// Each label, with " *" after the default.
std::vector<std::string> labels_of(const ChoiceList& list) {
    std::vector<std::string> labels;
    for (const ChoiceEntry& entry : list) labels.push_back(std::string(entry.label) + (entry.is_default ? " *" : ""));
    return labels;
}

}  // namespace

// Table rows carry no value (the writer sets them by name); ProRes shows FFmpeg's own.
TEST(Profiles, TableRowsWithTheirDefaultOrFfmpegsOwn) {
    const std::pair<const char*, std::vector<std::string>> tables[] = {
        {"libx264", {"Baseline", "Main", "High *", "High10", "High422", "High444"}}, {"libx264rgb", {}},
        {"aac", {"AAC-Low *"}}};
    for (const auto& [encoder, labels] : tables) {
        ChoiceList profiles;
        list_profiles(encoder, profiles);
        EXPECT_EQ(labels_of(profiles), labels) << encoder;
        for (const ChoiceEntry& entry : profiles) EXPECT_EQ(entry.value, -1) << entry.label;
    }
    for (const char* name : {"prores_ks", "prores_aw"}) {
        const AVCodec* codec = avcodec_find_encoder_by_name(name);
        ASSERT_TRUE(codec && codec->profiles) << name;
        ChoiceList profiles;
        list_profiles(name, profiles);
        std::vector<std::string> ffmpegs;
        for (const AVProfile* p = codec->profiles; p->profile != AV_PROFILE_UNKNOWN; ++p) ffmpegs.push_back(p->name);
        EXPECT_EQ(labels_of(profiles), ffmpegs) << name;
        // The label the list shows leads back to the same profile.
        for (const ChoiceEntry& entry : profiles)
            EXPECT_EQ(ffmpeg_profile_for_label(*codec, entry.label), entry.value) << entry.label;
        EXPECT_EQ(ffmpeg_profile_for_label(*codec, "High quality"), NO_PROFILE) << "not a shown label today";
    }
}

// Each list has the encoder's own formats, rawvideo (which declares none) the
// sixteen fallbacks; no encoder, or a name FFmpeg does not know, empties every list.
TEST(EncoderLists, FormatsAreTheEncodersOwnOrTheFallbacks) {
    ChoiceList formats;
    list_pixel_formats("libx264", formats);
    const auto x264 = ffcompat::pixel_formats(avcodec_find_encoder_by_name("libx264"));
    ASSERT_EQ(formats.size(), size_t(x264.count));
    for (int i = 0; i < x264.count; ++i) EXPECT_EQ(formats[size_t(i)].value, x264.items[i]);
    list_pixel_formats("rawvideo", formats);
    ASSERT_EQ(formats.size(), 16u);
    EXPECT_STREQ(formats.back().label, "bgra64le");
    for (const ChoiceEntry& entry : formats) EXPECT_EQ(entry.value, av_get_pix_fmt(entry.label));

    const std::pair<const char*, std::vector<std::string>> samples[] = {
        {"aac", {"fltp"}}, {"pcm_s24le", {"s32"}}, {"libx264", {}}};
    for (const auto& [name, labels] : samples) {
        list_sample_formats(name, formats);
        EXPECT_EQ(labels_of(formats), labels) << name;
        for (const ChoiceEntry& entry : formats) EXPECT_EQ(entry.value, av_get_sample_fmt(entry.label));
    }
    for (const char* name : {static_cast<const char*>(nullptr), NO_VIDEO_TEXT, "nosuch"}) {
        const ChoiceEntry stale{"stale", 1, false};
        ChoiceList profiles{stale}, pixels{stale}, sampleFormats{stale};
        list_profiles(name, profiles);
        list_pixel_formats(name, pixels);
        list_sample_formats(name, sampleFormats);
        EXPECT_TRUE(profiles.empty() && pixels.empty() && sampleFormats.empty()) << (name ? name : "no name");
    }
}

// 16-bit asks for s16 (packed before planar), else the host's own format if
// listed, else the encoder's first; host samples are read by their width.
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
        {8, AV_SAMPLE_FMT_U8}, {9, AV_SAMPLE_FMT_S16}, {16, AV_SAMPLE_FMT_S16}, {17, AV_SAMPLE_FMT_S32}};
    for (const auto& [bits, format] : hostBits) EXPECT_EQ(input_sample_format(bits), format) << bits;
}
