// The container list against FFmpeg's own muxers and the module's rules.
#include "catalogue/catalogue.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cstring>

namespace {

bool offered(const ContainerList& containers, const char* name) {
    return std::any_of(containers.begin(), containers.end(),
                       [name](const ContainerEntry& entry) { return std::strcmp(entry.name, name) == 0; });
}

struct Offer {
    const char* muxer;
    bool offered;
    const char* why;
};

const Offer OFFERS[] = {
    {"mov", true, "MIME names video"},
    {"mp4", true, "MIME video/mp4"},
    {"matroska", true, "the first of that name, with video; Matroska Audio has none"},
    {"avi", true, "no MIME type, video and audio codecs with encoders"},
    {"mxf", true, "MIME application/mxf, a video container all the same"},
    {"mxf_opatom", true, "MIME application/mxf"},
    {"mp3", false, "MIME names audio only"},
    {"wav", false, "no video codec"},
    {"ogg", false, "MIME application/ogg: Ogg Video is the one for pictures"},
    {"image2", false, "writes no file of its own"},
    {"null", false, "writes no file"},
    {"hls", false, "excluded by the table"},
    {"framemd5", false, "excluded by the table"},
    {"yuv4mpegpipe", false, "excluded by its long name"},
    {"webvtt", false, "a subtitle format"},
    {"mxf_d10", false, "no extensions of its own"},
};

}  // namespace

TEST(ContainerList, OffersWhatCanHoldAMovieAndNothingElse) {
    ContainerList containers;
    list_containers(containers);
    for (const Offer& row : OFFERS) EXPECT_EQ(offered(containers, row.muxer), row.offered) << row.muxer << ": " << row.why;
    // A muxer whose default audio codec has no encoder here is not offered.
    if (!avcodec_find_encoder(AV_CODEC_ID_AMR_NB)) {
        EXPECT_FALSE(offered(containers, "3gp"));
    }
    for (const ContainerEntry& entry : containers) {
        SCOPED_TRACE(entry.name);
        const AVOutputFormat* muxer = find_muxer(entry.name);
        ASSERT_NE(muxer, nullptr);
        // The entries point at FFmpeg's own texts, not copies.
        EXPECT_EQ(entry.name, muxer->name);
        EXPECT_EQ(entry.long_name, muxer->long_name);
        EXPECT_EQ(entry.extensions, muxer->extensions);
    }
}

// Stored projects keep container indices: FFmpeg's order, not sorted, and
// what came later in the module's life only at the end.
TEST(ContainerList, FfmpegsOrderWithMxfAppended) {
    ContainerList containers;
    list_containers(containers);
    ASSERT_GE(containers.size(), 4u);
    EXPECT_STREQ(containers.front().name, "amv");
    EXPECT_STREQ(containers[containers.size() - 2].name, "mxf");
    EXPECT_STREQ(containers.back().name, "mxf_opatom");
    auto at = [&](const char* name) {
        return std::find_if(containers.begin(), containers.end(),
                            [name](const ContainerEntry& e) { return std::strcmp(e.name, name) == 0; });
    };
    EXPECT_LT(at("avi"), at("mov"));
    EXPECT_LT(at("mov"), at("mp4"));
}

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

TEST(FindMuxer, ExactCaseSensitiveName) {
    ASSERT_NE(find_muxer("mov"), nullptr);
    EXPECT_STREQ(find_muxer("mov")->name, "mov");
    EXPECT_EQ(find_muxer("MOV"), nullptr);
    EXPECT_EQ(find_muxer("mo"), nullptr);
    EXPECT_EQ(find_muxer(nullptr), nullptr);
}

TEST(Extension, OverrideFirstOfSeveralOrEmpty) {
    char extension[PATH_SIZE] = "stale";
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
