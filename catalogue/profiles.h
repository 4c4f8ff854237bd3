// Profile, pixel-format and sample-format lists of a chosen encoder, and the
// lookups the writer makes to apply a chosen profile.
#pragma once

#include "entries.h"
#include "tables.h"

#include <cstddef>

struct AVCodec;

void list_profiles(const char* encoder_name, ChoiceList& profiles);
void list_pixel_formats(const char* encoder_name, ChoiceList& formats);
// FFmpeg's name of a pixel format, as the list shows it unmarked.
const char* pixel_format_name(int32_t pixel_format);
void list_sample_formats(const char* encoder_name, ChoiceList& formats);
// The format host samples of this width are handed over in.
int32_t input_sample_format(int32_t bitsPerSample);
// The format the encoder gets, from its list: 16-bit when asked and listed,
// else the host's own when listed, else the encoder's first (-1: none).
int32_t choose_out_sample_format(const ChoiceList& sampleFormats, bool sixteenBit, int32_t inSampleFormat);

// The first profile-option row of this encoder with this label, or null.
const ProfileOptionRow* find_profile_option(const char* encoder_name, const char* label);

// The number of the encoder's own FFmpeg profile that the profile list shows
// under `label`, or NO_PROFILE.
int32_t ffmpeg_profile_for_label(const AVCodec& codec, const char* label);

// Whether the profile (by its label, or FFmpeg's number where the label
// names none of the module's own) carries pictures of this pixel format.
bool profile_carries(int32_t codec_id, const char* label, int32_t profile, int32_t pixel_format);
// The index in `profiles` of the least profile from `current` on that carries
// the pixel format, else the nearest below it that does (4444 to 4:2:2 pixels
// keeps HQ); -1 when none does.
int32_t profile_for_pixels(int32_t codec_id, const ChoiceList& profiles, size_t current, int32_t pixel_format);
// The index in `formats` of the first format the profile carries, with alpha
// for a 4:4:4-only profile where the list has one; -1 when it carries none.
int32_t pixels_for_profile(int32_t codec_id, const ChoiceEntry& profile, const ChoiceList& formats);
