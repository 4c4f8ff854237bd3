// The container list against FFmpeg's own muxers and the module's rules.
#include "catalogue/catalogue.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>

namespace {

size_t position(const ContainerList& containers, const char* name) {
    return size_t(std::find_if(containers.begin(), containers.end(),
                               [name](const ContainerEntry& e) { return std::strcmp(e.name, name) == 0; }) -
                  containers.begin());
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

// Stored projects keep container indices: FFmpeg's order, not sorted, and
// what came later in the module's life only at the end.
TEST(ContainerList, OffersWhatCanHoldAMovieInFfmpegsOrderWithMxfAppended) {
    ContainerList containers;
    list_containers(containers);
    for (const Offer& row : OFFERS)
        EXPECT_EQ(position(containers, row.muxer) < containers.size(), row.offered) << row.muxer << ": " << row.why;
    // A muxer whose default audio codec has no encoder here is not offered.
    if (!avcodec_find_encoder(AV_CODEC_ID_AMR_NB)) {
        EXPECT_EQ(position(containers, "3gp"), containers.size());
    }
    for (const ContainerEntry& entry : containers) {
        const AVOutputFormat* muxer = find_muxer(entry.name);
        ASSERT_NE(muxer, nullptr) << entry.name;
        // FFmpeg's own texts, not copies.
        EXPECT_TRUE(entry.name == muxer->name && entry.long_name == muxer->long_name &&
                    entry.extensions == muxer->extensions)
            << entry.name;
    }
    ASSERT_GE(containers.size(), 4u);
    EXPECT_STREQ(containers.front().name, "amv");
    EXPECT_STREQ(containers[containers.size() - 2].name, "mxf");
    EXPECT_STREQ(containers.back().name, "mxf_opatom");
    EXPECT_LT(position(containers, "avi"), position(containers, "mov"));
    EXPECT_LT(position(containers, "mov"), position(containers, "mp4"));
}

TEST(ExcludedMuxers, ByTableNameOrLongNameAndAnySubtitle) {
    const std::tuple<const char*, const char*, bool> cases[] = {
        {"crc", "CRC testing", true},  {"mkvtimestamp_v2", nullptr, true}, {"x", "Some Subtitle format", true},
        {"my_subtitles", nullptr, true}, {"mov", "QuickTime / MOV", false}, {"mp4", nullptr, false},
        {"nullish", "null output", false},  // a table entry inside a longer name is no match
    };
    for (const auto& [name, longName, excluded] : cases) EXPECT_EQ(is_excluded_muxer(name, longName), excluded) << name;
}

TEST(FindMuxer, ExactCaseSensitiveName) {
    ASSERT_NE(find_muxer("mov"), nullptr);
    EXPECT_STREQ(find_muxer("mov")->name, "mov");
    for (const char* name : {"MOV", "mo", static_cast<const char*>(nullptr)}) EXPECT_EQ(find_muxer(name), nullptr);
}

TEST(Extension, OverrideFirstOfSeveralOrEmpty) {
    // mpegts has "ts,m2t,m2ts,mts"; crc has no extensions.
    const std::pair<const char*, const char*> cases[] = {{"dv", "dv"},     {"mpegts", "ts"},        {"mov", "mov"},
                                                         {"matroska", "mkv"}, {"no such muxer", ""}, {"crc", ""},
                                                         {nullptr, ""}};
    for (const auto& [name, expected] : cases) {
        char extension[PATH_SIZE] = "stale";
        extension_for_container(name, extension);
        EXPECT_STREQ(extension, expected) << (name ? name : "no name");
    }
}
