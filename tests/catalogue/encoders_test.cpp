// Encoder lists of a container.
#include "catalogue/catalogue.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <cstring>
#include <map>
#include <set>
#include <string>

// After the no-entry row, every offered encoder is one of the container's
// codecs, marked default exactly for the default codec, whose encoders come
// first; no name twice. Labels: the module's row, or FFmpeg's long name.
TEST(EncoderList, MovOffersItsDefaultCodecFirstAndEveryEncoderOnce) {
    const AVOutputFormat* mov = find_muxer("mov");
    ASSERT_NE(mov, nullptr);
    const std::map<std::string, std::string> labels = {{"libx264", "libx264 H.264 / AVC"},
                                                       {"prores_ks", "Apple ProRes (Ulvard)"},
                                                       {"mpeg4", avcodec_find_encoder_by_name("mpeg4")->long_name}};
    for (const bool video : {true, false}) {
        SCOPED_TRACE(video ? "video" : "audio");
        EncoderList list;
        list_container_encoders(*mov, list, video);
        const AVMediaType type = video ? AVMEDIA_TYPE_VIDEO : AVMEDIA_TYPE_AUDIO;
        ASSERT_GE(list.size(), 3u);
        EXPECT_TRUE(list[0].codec_id == 0 && !std::strcmp(list[0].name, video ? NO_VIDEO_TEXT : NO_AUDIO_TEXT) &&
                    list[0].media_type == type && !list[0].is_default);
        EXPECT_STREQ(list[1].name, video ? "libx264" : "aac");
        std::set<std::string> names;
        bool inDefaultGroup = true;
        for (size_t i = 1; i < list.size(); ++i) {
            const EncoderEntry& entry = list[i];
            SCOPED_TRACE(entry.name);
            EXPECT_TRUE(names.insert(entry.name).second) << "listed twice";
            const AVCodec* codec = avcodec_find_encoder_by_name(entry.name);
            ASSERT_NE(codec, nullptr);
            EXPECT_TRUE(entry.codec_id == codec->id && entry.media_type == type);
            EXPECT_EQ(entry.is_default, entry.codec_id == (video ? mov->video_codec : mov->audio_codec));
            inDefaultGroup &= entry.is_default;
            EXPECT_EQ(entry.is_default, inDefaultGroup) << "default codec's encoders come first";
            EXPECT_TRUE(entry.is_default || av_codec_get_tag(mov->codec_tag, codec->id) != 0);
            const auto label = labels.find(entry.name);
            EXPECT_TRUE(label == labels.end() || label->second == entry.label) << entry.label;
        }
    }
}

// Codecs Matroska's muxer takes beyond its tag tables (HEVC for HDR masters,
// ProRes) come after every encoder of the tables, so stored choices keep
// their places.
TEST(EncoderList, MatroskaOffersWhatItsMuxerTakesAfterItsTablesOwn) {
    const AVOutputFormat* matroska = find_muxer("matroska");
    ASSERT_NE(matroska, nullptr);
    EncoderList list;
    list_container_encoders(*matroska, list, true);
    std::set<std::string> beyond;
    for (size_t i = 1; i < list.size(); ++i) {
        unsigned int tag = 0;
        const bool tagged = av_codec_get_tag2(matroska->codec_tag, AVCodecID(list[i].codec_id), &tag) != 0 ||
                            list[i].codec_id == matroska->video_codec;
        if (!tagged) beyond.insert(list[i].name);
        const bool generic = list[i].codec_id == AV_CODEC_ID_DNXHD;  // through VFW
        EXPECT_TRUE(tagged || generic ||
                    avformat_query_codec(matroska, AVCodecID(list[i].codec_id), FF_COMPLIANCE_NORMAL) == 1)
            << list[i].name;
        EXPECT_TRUE(!tagged || beyond.empty()) << list[i].name << " comes after encoders the tables lack";
    }
    for (const char* name : {"libx265", "prores_ks", "prores_aw", "dnxhd"}) EXPECT_TRUE(beyond.count(name)) << name;
}
