// The containers offered: FFmpeg's muxers that write a file with both a video
// and an audio encoder at hand, less the ones the module leaves out.
#include "catalogue.h"
#include "tables.h"

#include "VelmoraCore.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#include <cstring>

const AVOutputFormat* find_muxer(const char* name) {
    if (!name) return nullptr;
    void* cursor = nullptr;
    while (const AVOutputFormat* muxer = av_muxer_iterate(&cursor))
        if (std::strcmp(muxer->name, name) == 0) return muxer;
    return nullptr;
}

bool is_excluded_muxer(const char* name, const char* long_name) {
    for (const char* excluded : EXCLUDED_MUXERS) {
        if (name && std::strcmp(name, excluded) == 0) return true;
        if (long_name && std::strcmp(long_name, excluded) == 0) return true;
    }
    // Without its first letter the word is caught in both capitalisations.
    return (name && std::strstr(name, "ubtitle")) || (long_name && std::strstr(long_name, "ubtitle"));
}

static bool offers_file_with_encoders(const AVOutputFormat& muxer) {
    if (muxer.flags & AVFMT_NOFILE) return false;
    if (muxer.video_codec == AV_CODEC_ID_NONE || muxer.audio_codec == AV_CODEC_ID_NONE) return false;
    return avcodec_find_encoder(muxer.video_codec) && avcodec_find_encoder(muxer.audio_codec);
}

static bool has_extra_mime_type(const AVOutputFormat& muxer) {
    if (!muxer.mime_type) return false;
    for (const char* type : EXTRA_CONTAINER_MIME_TYPES)
        if (std::strcmp(muxer.mime_type, type) == 0) return true;
    return false;
}

void list_containers(ContainerList& containers) {
    containers.clear();
    void* cursor = nullptr;
    while (const AVOutputFormat* muxer = av_muxer_iterate(&cursor)) {
        if (!offers_file_with_encoders(*muxer)) continue;
        if (!muxer->extensions) continue;
        // Audio-only and non-media MIME types name formats that carry no picture.
        if (muxer->mime_type && !istrstr(muxer->mime_type, "video")) continue;
        if (is_excluded_muxer(muxer->name, muxer->long_name)) continue;
        containers.push_back({muxer->name, muxer->long_name, muxer->extensions});
    }
    cursor = nullptr;
    while (const AVOutputFormat* muxer = av_muxer_iterate(&cursor)) {
        if (!has_extra_mime_type(*muxer) || !offers_file_with_encoders(*muxer) || !muxer->extensions) continue;
        if (is_excluded_muxer(muxer->name, muxer->long_name)) continue;
        containers.push_back({muxer->name, muxer->long_name, muxer->extensions});
    }
}

void extension_for_container(const char* name, char (&extension)[PATH_SIZE]) {
    extension[0] = '\0';
    if (!name) return;
    for (const ExtensionOverrideRow& row : EXTENSION_OVERRIDES) {
        if (std::strcmp(row.container, name) == 0) {
            std::strncpy(extension, row.extension, sizeof extension - 1);
            extension[sizeof extension - 1] = '\0';
            return;
        }
    }
    const AVOutputFormat* muxer = find_muxer(name);
    if (!muxer || !muxer->extensions) return;
    size_t length = std::strcspn(muxer->extensions, ",");
    if (length > sizeof extension - 1) length = sizeof extension - 1;
    std::memcpy(extension, muxer->extensions, length);
    extension[length] = '\0';
}

bool is_quicktime_container(const char* name) {
    return name && (std::strcmp(name, "mov") == 0 || std::strcmp(name, "mp4") == 0);
}

bool writes_index_last(const char* name) {
    for (const char* muxer : {"mov", "mp4", "ipod", "psp", "3gp", "3g2"})
        if (name && std::strcmp(name, muxer) == 0) return true;
    return false;
}

bool muxer_has_option(const AVOutputFormat& muxer, const char* option) {
    // A muxer's class stands for an object of it in the option lookup.
    const AVClass* const* options = &muxer.priv_class;
    return *options && av_opt_find(const_cast<AVClass**>(options), option, nullptr, 0, 0);
}

bool is_edit_unit_muxer(const char* name) {
    for (const char* muxer : {"gxf", "mxf", "mxf_d10", "mxf_opatom"})
        if (name && std::strcmp(name, muxer) == 0) return true;
    return false;
}

bool takes_pictures_first(const char* name) { return is_edit_unit_muxer(name) || (name && std::strcmp(name, "amv") == 0); }
