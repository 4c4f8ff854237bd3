#include "writer/colour/hdr_metadata.h"

#include "base/compat.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

// Mastering display primaries are kept R, G, B; the encoders list G, B, R.
constexpr int GREEN_BLUE_RED[3] = {1, 2, 0};

long in_units(AVRational value, int units) { return std::lround(av_q2d(value) * units); }

}  // namespace

bool attach_hdr_to_stream(AVStream& stream, const OutputColour& colour) {
    if (!colour.hdr10) return true;
    uint8_t* mastering =
        ffcompat::new_stream_side_data(stream, AV_PKT_DATA_MASTERING_DISPLAY_METADATA, sizeof colour.mastering);
    uint8_t* light = ffcompat::new_stream_side_data(stream, AV_PKT_DATA_CONTENT_LIGHT_LEVEL, sizeof colour.light);
    if (!mastering || !light) return false;
    std::memcpy(mastering, &colour.mastering, sizeof colour.mastering);
    std::memcpy(light, &colour.light, sizeof colour.light);
    return true;
}

const char* hdr_params_option(const char* encoder) {
    if (!encoder) return nullptr;
    if (std::strcmp(encoder, "libx265") == 0) return "x265-params";
    if (std::strcmp(encoder, "libsvtav1") == 0) return "svtav1-params";
    return nullptr;
}

std::string hdr_params(const char* option, const OutputColour& colour) {
    if (!option || !colour.hdr10) return {};
    const AVMasteringDisplayMetadata& m = colour.mastering;
    const bool x265 = std::strcmp(option, "x265-params") == 0;
    std::string text = x265 ? "master-display=" : "mastering-display=";
    char item[64];
    const char* names[3] = {"G", "B", "R"};
    for (int i = 0; i < 3; ++i) {
        const AVRational* xy = m.display_primaries[GREEN_BLUE_RED[i]];
        if (x265)
            std::snprintf(item, sizeof item, "%s(%ld,%ld)", names[i], in_units(xy[0], 50000), in_units(xy[1], 50000));
        else
            std::snprintf(item, sizeof item, "%s(%.5f,%.5f)", names[i], av_q2d(xy[0]), av_q2d(xy[1]));
        text += item;
    }
    if (x265)
        std::snprintf(item, sizeof item, "WP(%ld,%ld)L(%ld,%ld)", in_units(m.white_point[0], 50000),
                      in_units(m.white_point[1], 50000), in_units(m.max_luminance, 10000),
                      in_units(m.min_luminance, 10000));
    else
        std::snprintf(item, sizeof item, "WP(%.5f,%.5f)L(%.4f,%.4f)", av_q2d(m.white_point[0]),
                      av_q2d(m.white_point[1]), av_q2d(m.max_luminance), av_q2d(m.min_luminance));
    text += item;
    std::snprintf(item, sizeof item, x265 ? ":max-cll=%u,%u" : ":content-light=%u,%u", colour.light.MaxCLL,
                  colour.light.MaxFALL);
    return text + item;
}

bool container_keeps_hdr(const char* muxer) {
    for (const char* name : {"mov", "mp4", "matroska", "webm"})
        if (muxer && std::strcmp(muxer, name) == 0) return true;
    return false;
}
