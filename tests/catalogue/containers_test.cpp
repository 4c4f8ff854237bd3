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

namespace {

size_t position(const ContainerList& containers, const char* name) {
    return size_t(std::find_if(containers.begin(), containers.end(),
                               [name](const ContainerEntry& e) { return std::strcmp(e.name, name) == 0; }) -
                  containers.begin());
}

}  // namespace

// Stored projects keep container indices: FFmpeg's order, not sorted, and
// what came later in the module's life only at the end.
TEST(ContainerList, OffersWhatCanHoldAMovieInFfmpegsOrderWithMxfAppended) {
    const std::pair<const char*, bool> offers[] = {
        {"mov", true},     {"mp4", true},       // MIME types naming video
        {"matroska", true},                     // the first of that name; Matroska Audio has no video
        {"avi", true},                          // no MIME type, encoders for both codecs
        {"mxf_opatom", true},                   // MIME application/mxf, a video container all the same
        {"mp3", false},    {"ogg", false},      // MIME types naming audio or no media
        {"wav", false},                         // no video codec
        {"image2", false}, {"null", false},     // no file of their own
        {"webvtt", false},                      // a subtitle format
        {"yuv4mpegpipe", false},                // excluded by its long name
        {"mxf_d10", false},                     // no extensions of its own
    };
    ContainerList containers;
    list_containers(containers);
    for (const auto& [muxer, offered] : offers)
        EXPECT_EQ(position(containers, muxer) < containers.size(), offered) << muxer;
    // A muxer whose default audio codec has no encoder here is not offered.
    if (!avcodec_find_encoder(AV_CODEC_ID_AMR_NB)) {
        EXPECT_EQ(position(containers, "3gp"), containers.size());
    }
    for (const ContainerEntry& entry : containers) {
        const AVOutputFormat* muxer = find_muxer(entry.name);
        ASSERT_NE(muxer, nullptr) << entry.name;
        // FFmpeg's own texts, not copies.
        EXPECT_TRUE(entry.name == muxer->name && entry.long_name == muxer->long_name &&
                    entry.extensions == muxer->extensions) << entry.name;
    }
    ASSERT_GE(containers.size(), 4u);
    EXPECT_STREQ(containers.front().name, "amv");
    EXPECT_STREQ(containers[containers.size() - 2].name, "mxf");
    EXPECT_STREQ(containers.back().name, "mxf_opatom");
    EXPECT_LT(position(containers, "avi"), position(containers, "mov"));
    EXPECT_LT(position(containers, "mov"), position(containers, "mp4"));
}

// The first of several extensions, or none; the override table's one row aside.
TEST(Extension, FirstOfSeveralOrEmpty) {
    const std::pair<const char*, const char*> cases[] = {
        {"mpegts", "ts"}, {"matroska", "mkv"}, {"no such muxer", ""}, {"crc", ""}, {nullptr, ""}};
    for (const auto& [name, expected] : cases) {
        char extension[PATH_SIZE] = "stale";
        extension_for_container(name, extension);
        EXPECT_STREQ(extension, expected) << (name ? name : "no name");
    }
}
