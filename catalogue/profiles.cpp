// Profiles of an encoder: FFmpeg's own list where it has one, else the
// module's profile-option table.
#include "profiles.h"

#include "base/compat.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <cstring>

namespace {

// FFmpeg's name of a profile, or the ProRes table's label for it.
const char* profile_label(const AVCodec& codec, const AVProfile& profile) {
    for (const ProresProfileRow& row : PRORES_PROFILES)
        if (row.codec_id == codec.id && std::strcmp(row.profile_name, profile.name) == 0) return row.label;
    return profile.name;
}

}  // namespace

// No encoder (an index past the list) has no profiles, as it has no pixel or
// sample formats: a list kept from the last encoder would offer its profiles.
void list_profiles(const char* encoder_name, ChoiceList& profiles) {
    profiles.clear();
    const AVCodec* codec = encoder_name ? avcodec_find_encoder_by_name(encoder_name) : nullptr;
    if (!codec) return;
    if (codec->profiles) {
        for (const AVProfile* profile = codec->profiles; profile->profile != AV_PROFILE_UNKNOWN; ++profile)
            profiles.push_back({profile_label(*codec, *profile), profile->profile, false});
        return;
    }
    for (const ProfileOptionRow& row : PROFILE_OPTIONS)
        if (row.codec_id == codec->id && std::strcmp(row.encoder, encoder_name) == 0)
            profiles.push_back({row.label, -1, row.is_default});
}

const ProfileOptionRow* find_profile_option(const char* encoder_name, const char* label) {
    if (!encoder_name || !label) return nullptr;
    for (const ProfileOptionRow& row : PROFILE_OPTIONS)
        if (std::strcmp(row.encoder, encoder_name) == 0 && std::strcmp(row.label, label) == 0) return &row;
    return nullptr;
}

// Matching through the label the list showed (rather than translating the
// label into a four-character code first) keeps a ProRes choice working when
// FFmpeg's own profile names are shown: "LT" must find FFmpeg's "LT".
int32_t ffmpeg_profile_for_label(const AVCodec& codec, const char* label) {
    if (!label || !codec.profiles) return NO_PROFILE;
    for (const AVProfile* profile = codec.profiles; profile->profile != AV_PROFILE_UNKNOWN; ++profile)
        if (std::strcmp(profile_label(codec, *profile), label) == 0) return profile->profile;
    return NO_PROFILE;
}
