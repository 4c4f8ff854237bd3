// Containers and encoders offered, filtered by the module's tables.
#pragma once

#include "entries.h"

#include "base/text.h"

struct AVOutputFormat;

constexpr const char* NO_VIDEO_TEXT = "-- NO VIDEO --";
constexpr const char* NO_AUDIO_TEXT = "-- NO AUDIO --";
constexpr const char* FALLBACK_CONTAINER = "mov";

const AVOutputFormat* find_muxer(const char* name);
bool is_excluded_muxer(const char* name, const char* long_name);
void list_containers(ContainerList& containers);
void add_encoders(int32_t codec_id, EncoderList& list, bool want_video, bool want_audio, bool is_default);
// Appends the video or audio encoders of a container: its default codec's
// first, then those of its codec-tag tables in their order.
void add_container_encoders(const AVOutputFormat& muxer, EncoderList& list, bool video);
// Appends, after those, the encoders of every other codec a muxer takes when
// asked (webm: AV1, VP8, Vorbis; MXF: what its header accepts; Matroska:
// HEVC, ProRes, TTA and WavPack, which its muxer takes beyond its tag tables).
void add_asked_encoders(const AVOutputFormat& muxer, EncoderList& list, bool video);
// A container's whole video or audio list as the panel shows it: the
// no-entry row, the encoders above, and marks on those that cannot work here.
void list_container_encoders(const AVOutputFormat& muxer, EncoderList& list, bool video);
void extension_for_container(const char* name, char (&extension)[PATH_SIZE]);
// mov and mp4: the containers the faststart rewrite serves.
bool is_quicktime_container(const char* name);
// The muxers of the QuickTime family that write an ordinary movie, its index
// last (mov, mp4, ipod, psp, 3gp, 3g2; not ismv, which writes fragments).
bool writes_index_last(const char* name);
// The muxer has a private option of this name.
bool muxer_has_option(const AVOutputFormat& muxer, const char* option);
// MXF and GXF: muxers that interleave whole edit units of their own, pictures
// first, and drop an unfinished one when their queue is emptied.
bool is_edit_unit_muxer(const char* name);
// Muxers that take the picture stream only as the first one: those of edit
// units, and AMV's.
bool takes_pictures_first(const char* name);
// libx264 and libx264rgb: the encoders the quality presets and x264 options serve.
bool is_x264_encoder(const char* name);
