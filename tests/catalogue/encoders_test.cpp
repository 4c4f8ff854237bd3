// Encoder lists of a container.
#include "catalogue/catalogue.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <cstring>
#include <set>
#include <string>

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
    EXPECT_TRUE(list[0].codec_id == 0 && !std::strcmp(list[0].name, no_entry) && !std::strcmp(list[0].label, no_entry) &&
                list[0].media_type == (video ? AVMEDIA_TYPE_VIDEO : AVMEDIA_TYPE_AUDIO) && !list[0].is_default);

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
        in_default_group &= entry.is_default;
        EXPECT_EQ(entry.is_default, in_default_group) << "default codec's encoders come first";
        if (!entry.is_default) {
            EXPECT_NE(av_codec_get_tag(muxer.codec_tag, codec->id), 0u);
        }
    }
}

}  // namespace

TEST(EncoderList, MovOffersLibx264FirstAndEveryEncoderOnce) {
    const AVOutputFormat* mov = find_muxer("mov");
    ASSERT_NE(mov, nullptr);
    EncoderList video, audio;
    list_container_encoders(*mov, video, true);
    list_container_encoders(*mov, audio, false);
    expect_container_list(video, *mov, true);
    expect_container_list(audio, *mov, false);

    // H.264 is in mov's tag tables as well, and mjpeg under several tags:
    // each encoder keeps its first place only (checked above).
    EXPECT_STREQ(video[1].name, "libx264");
    EXPECT_STREQ(video[1].label, "libx264 H.264 / AVC");
    EXPECT_STREQ(video[2].name, "libx264rgb");
    EXPECT_LT(position(video, "rawvideo"), position(video, "mjpeg"));  // mov's tables start with raw video
    EXPECT_STREQ(video[position(video, "prores_ks")].label, "Apple ProRes (Ulvard)");
    // Without a label row the label is FFmpeg's long name.
    EXPECT_STREQ(video[position(video, "mpeg4")].label, avcodec_find_encoder_by_name("mpeg4")->long_name);
    EXPECT_STREQ(audio[1].name, "aac");
}

TEST(EncoderList, NoEntryRowsAreAddedOnce) {
    EncoderList list;
    add_encoders(0, list, true, true, false);
    add_encoders(0, list, true, true, false);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_STREQ(list[0].name, NO_VIDEO_TEXT);
    EXPECT_TRUE(!std::strcmp(list[1].name, NO_AUDIO_TEXT) && list[1].media_type == AVMEDIA_TYPE_AUDIO);
    // Video only: the audio encoders of a codec id are not taken.
    add_encoders(AV_CODEC_ID_AAC, list, true, false, true);
    EXPECT_EQ(list.size(), 2u);
}
