// The module's own tables over FFmpeg's lists: what is left out, relabelled
// or overridden, and the profiles FFmpeg does not list itself.
#pragma once

#include <array>
#include <cstdint>

// Muxers never offered, compared with a muxer's name and its long name.
extern const std::array<const char*, 23> EXCLUDED_MUXERS;

// Containers offered after those the MIME test admits, in FFmpeg's order:
// MXF's MIME type does not say "video", yet it is a video container. Kept
// last so the indices of stored projects keep their meaning.
extern const std::array<const char*, 1> EXTRA_CONTAINER_MIME_TYPES;

// Muxers that list no codecs and answer no codec query: each encoder's codec
// is tried against their header instead.
extern const std::array<const char*, 3> HEADER_ASKED_MUXERS;

// Codecs a muxer writes under its generic tags (Matroska's VFW) though its
// codec query admits them only below normal compliance, where it admits
// every codec: offered after the muxer's own, each proven by a render read
// back in the tests.
struct MuxerCodecRow {
    const char* muxer;
    int32_t codec_id;
};
extern const std::array<MuxerCodecRow, 1> GENERIC_TAG_CODECS;

// A row applies when both the codec id and the encoder name match.
struct EncoderLabelRow {
    int32_t codec_id;
    const char* encoder;
    const char* label;
};
extern const std::array<EncoderLabelRow, 6> ENCODER_LABELS;

struct ExtensionOverrideRow {
    const char* container;
    const char* extension;
};
extern const std::array<ExtensionOverrideRow, 1> EXTENSION_OVERRIDES;

// Readable labels for ProRes profiles FFmpeg names by their four-character code.
struct ProresProfileRow {
    int32_t codec_id;
    const char* profile_name;
    const char* label;
};
extern const std::array<ProresProfileRow, 5> PRORES_PROFILES;

// Profiles of encoders whose profiles FFmpeg does not list. A row with an
// option is applied through that private option; otherwise by its profile
// number (audio) or by its label in the encoder's FFmpeg list (video).
struct ProfileOptionRow {
    int32_t codec_id;
    const char* encoder;
    const char* label;
    const char* option;  // null: no private option
    const char* value;
    bool is_default;
    int32_t profile;  // NO_PROFILE: none
};
constexpr int32_t NO_PROFILE = -99;  // FFmpeg's AV_PROFILE_UNKNOWN
extern const std::array<ProfileOptionRow, 17> PROFILE_OPTIONS;

// Chroma layouts as bits, so one profile can carry several.
enum ChromaLayout : uint8_t { GRAY = 1, C420 = 2, C422 = 4, C440 = 8, C444 = 16 };
// The pictures a profile can carry: its chroma layouts and sample depths.
// Profiles without a row carry any. A row names the profile by its label in
// the module's own list (libx264's) or, without one, by FFmpeg's number.
struct ProfilePixelsRow {
    int32_t codec_id;
    const char* label;
    int32_t profile;
    uint8_t layouts;
    int8_t min_depth, max_depth;
};
extern const std::array<ProfilePixelsRow, 25> PROFILE_PIXELS;

// Offered when a video encoder declares no pixel formats.
extern const std::array<int32_t, 16> FALLBACK_PIXEL_FORMATS;
