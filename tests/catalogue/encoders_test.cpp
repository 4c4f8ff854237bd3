// Encoder lists of a container, the chosen names, and the lists that hang on them.
#include "catalogue_fixture.h"

#include "catalogue/profiles.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cstring>
#include <set>

namespace {

size_t position(const EncoderList& list, const char* name) {
    for (size_t i = 0; i < list.size(); ++i)
        if (std::strcmp(list[i].name, name) == 0) return i;
    return list.size();
}

// Every offered encoder is one of the container's codecs, marked default
// exactly for the default codec, whose encoders come first; no name twice.
void expect_container_list(const EncoderList& list, const AVOutputFormat& muxer, bool video) {
    const AVCodecID default_codec = video ? muxer.video_codec : muxer.audio_codec;
    const char* no_entry = video ? NO_VIDEO_TEXT : NO_AUDIO_TEXT;
    ASSERT_GE(list.size(), 2u);
    EXPECT_EQ(list[0].codec_id, 0);
    EXPECT_STREQ(list[0].name, no_entry);
    EXPECT_STREQ(list[0].label, no_entry);
    EXPECT_EQ(list[0].media_type, video ? AVMEDIA_TYPE_VIDEO : AVMEDIA_TYPE_AUDIO);
    EXPECT_FALSE(list[0].is_default);

    std::set<std::string> names;
    bool in_default_group = true;
    for (size_t i = 1; i < list.size(); ++i) {
        const EncoderEntry& entry = list[i];
        SCOPED_TRACE(entry.name);
        EXPECT_TRUE(names.insert(entry.name).second) << "listed twice";
        const AVCodec* codec = avcodec_find_encoder_by_name(entry.name);
        ASSERT_NE(codec, nullptr);
        EXPECT_EQ(entry.codec_id, codec->id);
        EXPECT_EQ(entry.media_type, video ? AVMEDIA_TYPE_VIDEO : AVMEDIA_TYPE_AUDIO);
        EXPECT_EQ(entry.is_default, entry.codec_id == default_codec);
        if (!entry.is_default) in_default_group = false;
        EXPECT_TRUE(entry.is_default == in_default_group) << "default codec's encoders come first";
        if (!entry.is_default) {
            EXPECT_NE(av_codec_get_tag(muxer.codec_tag, codec->id), 0u);
        }
    }
}

}  // namespace

TEST_F(CatalogueTest, MovOffersLibx264FirstAndEveryEncoderOnce) {
    select_container(state, "mov", false);
    const AVOutputFormat* mov = find_muxer("mov");
    ASSERT_NE(mov, nullptr);
    expect_container_list(state.video_encoders, *mov, true);
    expect_container_list(state.audio_encoders, *mov, false);

    const EncoderList& video = state.video_encoders;
    EXPECT_STREQ(video[1].name, "libx264");
    EXPECT_STREQ(video[1].label, "libx264 H.264 / AVC");
    EXPECT_STREQ(video[2].name, "libx264rgb");
    EXPECT_STREQ(video[2].label, "libx264 H.264 / AVC RGB");
    // H.264 is in mov's tag tables as well, and mjpeg under several tags:
    // each encoder keeps its first place only.
    const std::vector<std::string> names = names_of(video);
    EXPECT_EQ(std::count(names.begin(), names.end(), "libx264"), 1);
    EXPECT_EQ(std::count(names.begin(), names.end(), "mjpeg"), 1);
    EXPECT_TRUE(video[1].is_default);
    EXPECT_LT(position(video, "rawvideo"), position(video, "mjpeg"));  // mov's tables start with raw video
    EXPECT_STREQ(video[position(video, "prores_ks")].label, "Apple ProRes (Ulvard)");
    EXPECT_STREQ(video[position(video, "prores_aw")].label, "Apple ProRes (Tesmer)");
    EXPECT_STREQ(video[position(video, "svq1")].label, "Sorensen Video / SVQ1");
    // Without a label row the label is FFmpeg's long name.
    EXPECT_STREQ(video[position(video, "mpeg4")].label, avcodec_find_encoder_by_name("mpeg4")->long_name);

    EXPECT_STREQ(state.audio_encoders[1].name, "aac");
    EXPECT_TRUE(state.audio_encoders[1].is_default);
}

TEST_F(CatalogueTest, NoEntryRowsAreAddedOnce) {
    EncoderList list;
    add_encoders(0, list, true, true, false);
    add_encoders(0, list, true, true, false);
    ASSERT_EQ(names_of(list), (std::vector<std::string>{NO_VIDEO_TEXT, NO_AUDIO_TEXT}));
    EXPECT_EQ(list[1].media_type, AVMEDIA_TYPE_AUDIO);
    // Video only: the audio encoders of a codec id are not taken.
    add_encoders(AV_CODEC_ID_AAC, list, true, false, true);
    EXPECT_EQ(list.size(), 2u);
}

TEST_F(CatalogueTest, UnknownContainerLeavesNoEntryRowsAndReportsTwice) {
    state.video_profiles.push_back({"stale", 0, false});
    state.pixel_formats.push_back({"stale", 0, false});
    state.sample_formats.push_back({"stale", 0, false});
    select_container(state, "nosuch", true);
    EXPECT_EQ(names_of(state.video_encoders), std::vector<std::string>{NO_VIDEO_TEXT});
    EXPECT_EQ(names_of(state.audio_encoders), std::vector<std::string>{NO_AUDIO_TEXT});
    EXPECT_TRUE(state.video_profiles.empty());
    EXPECT_TRUE(state.audio_profiles.empty());
    EXPECT_TRUE(state.pixel_formats.empty());
    EXPECT_TRUE(state.sample_formats.empty());
    ASSERT_EQ(kept_messages().size(), 2u);
    for (const LoggedMessage& message : kept_messages()) {
        EXPECT_EQ(message.level, 4);
        EXPECT_EQ(message.text, "QelFFmpegWriter: can't find container/format with name: nosuch");
    }
}

TEST_F(CatalogueTest, ContainerChoiceRebuildsTheListsOfTheChosenEncoders) {
    set_control(&Controls::m_videoEncoder, 1);
    set_control(&Controls::m_audioEncoder, 1);
    select_container(state, "mp4", false);
    EXPECT_EQ(labels_of(state.video_profiles),
              (std::vector<std::string>{"Baseline", "Main", "High", "High10", "High422", "High444"}));
    EXPECT_EQ(labels_of(state.audio_profiles), std::vector<std::string>{"AAC-Low"});
    ChoiceList libx264_formats;
    list_pixel_formats("libx264", libx264_formats);
    EXPECT_EQ(labels_of(state.pixel_formats), labels_of(libx264_formats));
    EXPECT_EQ(labels_of(state.sample_formats), std::vector<std::string>{"fltp"});
    // Without reset the controls keep the indices the host holds.
    EXPECT_EQ(control(&Controls::m_videoEncoder), 1);
    EXPECT_EQ(control(&Controls::m_audioEncoder), 1);
}

TEST_F(CatalogueTest, EncoderIndexBeyondTheListKeepsProfilesButEmptiesPixelFormats) {
    set_control(&Controls::m_videoEncoder, 1);
    select_container(state, "mp4", false);
    ASSERT_EQ(state.video_profiles.size(), 6u);
    set_control(&Controls::m_videoEncoder, static_cast<int32_t>(state.video_encoders.size()));
    select_video_encoder(state, false);
    EXPECT_EQ(state.video_profiles.size(), 6u);
    refresh_pixel_formats(state, false);
    EXPECT_TRUE(state.pixel_formats.empty());

    // The no-entry row is a name FFmpeg does not know: empty lists.
    set_control(&Controls::m_videoEncoder, 0);
    select_video_encoder(state, false);
    EXPECT_TRUE(state.video_profiles.empty());
    set_control(&Controls::m_audioEncoder, 0);
    select_audio_encoder(state, false);
    EXPECT_TRUE(state.audio_profiles.empty());
}
