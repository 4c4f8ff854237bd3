// The container list against FFmpeg's own muxers and the module's rules.
#include "catalogue_fixture.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

bool mentions_video(const char* mime) {
    std::string lower(mime);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower.find("video") != std::string::npos;
}

// What FFmpeg itself says about a muxer, before the module's exclusions.
bool writes_movie_file(const AVOutputFormat& muxer) {
    return !(muxer.flags & AVFMT_NOFILE) && muxer.video_codec != AV_CODEC_ID_NONE &&
           muxer.audio_codec != AV_CODEC_ID_NONE && avcodec_find_encoder(muxer.video_codec) &&
           avcodec_find_encoder(muxer.audio_codec) && muxer.extensions &&
           (!muxer.mime_type || mentions_video(muxer.mime_type));
}

std::vector<const AVOutputFormat*> all_muxers() {
    std::vector<const AVOutputFormat*> muxers;
    void* cursor = nullptr;
    while (const AVOutputFormat* muxer = av_muxer_iterate(&cursor)) muxers.push_back(muxer);
    return muxers;
}

}  // namespace

TEST(ExcludedMuxers, ByTableNameOrLongNameAndAnySubtitle) {
    EXPECT_TRUE(is_excluded_muxer("crc", "CRC testing"));
    EXPECT_TRUE(is_excluded_muxer("yuv4mpegpipe", "YUV4MPEG pipe"));  // by long name only
    EXPECT_TRUE(is_excluded_muxer("mkvtimestamp_v2", nullptr));
    EXPECT_TRUE(is_excluded_muxer("webvtt", "WebVTT subtitle"));
    EXPECT_TRUE(is_excluded_muxer("x", "Some Subtitle format"));
    EXPECT_TRUE(is_excluded_muxer("my_subtitles", nullptr));
    EXPECT_FALSE(is_excluded_muxer("mov", "QuickTime / MOV"));
    EXPECT_FALSE(is_excluded_muxer("mp4", nullptr));
    // Whole-text comparison: a table entry inside a longer name is no match.
    EXPECT_FALSE(is_excluded_muxer("nullish", "null output"));
}

TEST(ContainerList, OffersExactlyTheMuxersThatPassEveryRuleInFfmpegOrder) {
    ContainerList containers;
    list_containers(containers);
    ASSERT_FALSE(containers.empty());

    std::vector<const AVOutputFormat*> expected;
    for (const AVOutputFormat* muxer : all_muxers())
        if (writes_movie_file(*muxer) && !is_excluded_muxer(muxer->name, muxer->long_name)) expected.push_back(muxer);

    // MXF follows the others, so stored indices keep their meaning.
    for (const char* name : {"mxf", "mxf_opatom"}) expected.push_back(find_muxer(name));
    ASSERT_EQ(containers.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i]->name);
        // The entries point at FFmpeg's own texts, not copies.
        EXPECT_EQ(containers[i].name, expected[i]->name);
        EXPECT_EQ(containers[i].long_name, expected[i]->long_name);
        EXPECT_EQ(containers[i].extensions, expected[i]->extensions);
    }

    // FFmpeg's order, not sorted: "amv" comes first and "mov" later.
    EXPECT_STREQ(containers.front().name, "amv");
    auto mov = std::find_if(containers.begin(), containers.end(),
                            [](const ContainerEntry& entry) { return std::strcmp(entry.name, "mov") == 0; });
    ASSERT_NE(mov, containers.end());
    EXPECT_GT(mov - containers.begin(), 0);
}

TEST(ContainerList, LeavesOutWhatCannotHoldAMovie) {
    ContainerList containers;
    list_containers(containers);
    auto offered = [&](const char* name) {
        return std::any_of(containers.begin(), containers.end(),
                           [name](const ContainerEntry& entry) { return std::strcmp(entry.name, name) == 0; });
    };
    for (const ContainerEntry& entry : containers) {
        SCOPED_TRACE(entry.name);
        const AVOutputFormat* muxer = find_muxer(entry.name);
        ASSERT_NE(muxer, nullptr);
        EXPECT_FALSE(muxer->flags & AVFMT_NOFILE);
        EXPECT_EQ(std::strstr(entry.long_name, "ubtitle"), nullptr);
    }
    EXPECT_TRUE(offered("mov"));
    EXPECT_TRUE(offered("mp4"));       // MIME "video/mp4"
    EXPECT_TRUE(offered("matroska"));  // the video one; "Matroska Audio" has no video codec
    EXPECT_FALSE(offered("mp3"));      // MIME names audio only
    EXPECT_FALSE(offered("ogg"));      // MIME "application/ogg": Ogg Video is the one for pictures
    EXPECT_TRUE(offered("mxf"));       // MIME "application/mxf", a video container all the same
    EXPECT_FALSE(offered("image2"));   // writes no file of its own
    EXPECT_FALSE(offered("hls"));
    EXPECT_FALSE(offered("framemd5"));    // excluded by the table
    EXPECT_FALSE(offered("yuv4mpegpipe"));
    // A muxer whose default audio codec has no encoder here is not offered.
    if (!avcodec_find_encoder(AV_CODEC_ID_AMR_NB)) {
        EXPECT_FALSE(offered("3gp"));
    }
}

TEST(FindMuxer, ExactCaseSensitiveName) {
    ASSERT_NE(find_muxer("mov"), nullptr);
    EXPECT_STREQ(find_muxer("mov")->name, "mov");
    EXPECT_EQ(find_muxer("MOV"), nullptr);
    EXPECT_EQ(find_muxer("mo"), nullptr);
    EXPECT_EQ(find_muxer(nullptr), nullptr);
}

TEST(Extension, OverrideFirstOfSeveralOrEmpty) {
    char extension[260] = "stale";
    extension_for_container("dv", extension);
    EXPECT_STREQ(extension, "dv");
    extension_for_container("mpegts", extension);  // "ts,m2t,m2ts,mts"
    EXPECT_STREQ(extension, "ts");
    extension_for_container("mov", extension);
    EXPECT_STREQ(extension, "mov");
    extension_for_container("matroska", extension);  // the first muxer of that name
    EXPECT_STREQ(extension, "mkv");
    extension_for_container("no such muxer", extension);
    EXPECT_STREQ(extension, "");
    std::strcpy(extension, "stale");
    extension_for_container("crc", extension);  // a muxer without extensions
    EXPECT_STREQ(extension, "");
    std::strcpy(extension, "stale");
    extension_for_container(nullptr, extension);
    EXPECT_STREQ(extension, "");
}
