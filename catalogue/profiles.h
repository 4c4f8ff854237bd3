// Profile, pixel-format and sample-format lists of a chosen encoder, and the
// lookups the writer makes to apply a chosen profile.
#pragma once

#include "entries.h"
#include "tables.h"

struct AVCodec;

void list_profiles(const char* encoder_name, ChoiceList& profiles);
void list_pixel_formats(const char* encoder_name, ChoiceList& formats);
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

// The chroma layout the encoder's profile fixes (Any for none), and whether a
// pixel format has it.
Chroma profile_chroma(int32_t codec_id, int32_t profile);
bool has_chroma(int32_t pixel_format, Chroma chroma);
const char* chroma_name(Chroma chroma);
// The index in `formats` of the format a profile of this chroma calls for:
// with alpha for 4:4:4, without for 4:2:2, where the list has one; -1 when
// the list has none of that layout.
int32_t format_for_chroma(const ChoiceList& formats, Chroma chroma);
