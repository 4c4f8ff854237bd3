// What cannot work on this machine, found out before a render: encoders that
// need a device this machine lacks, and encoders a container refuses. Each is
// asked once per process and the answer kept.
#pragma once

#include "entries.h"

struct AVCodec;
struct AVOutputFormat;

// What a container cannot carry is marked with.
constexpr const char* MARK_REFUSED = " (not in this container)";

// A label with a mark after it, kept as long as the process (as FFmpeg's own
// texts are), so list entries can point at it.
const char* marked_label(const char* label, const char* mark);

// Why the encoder cannot open here, or null when it can (or may).
const char* encoder_unavailable(const AVCodec& codec);

// Why the muxer refuses a stream of this encoder's codec whatever its picture
// size or sound, or null when it takes it.
const char* muxer_refuses(const AVOutputFormat& muxer, const AVCodec& codec);

// Marks the entries of a container's list that cannot work: the reason in
// `unavailable`, and a shown label that says so. Indices stay as they are.
void mark_unavailable(const AVOutputFormat& muxer, EncoderList& list);

// Why raw pictures of this format do not come back as written from the
// container (no reader takes them, or they read as another format), or null.
// Asked of uncompressed encoders only; others are null.
const char* muxer_misreads_pixels(const AVOutputFormat& muxer, const AVCodec& codec, int32_t pixel_format);

// Marks the pixel formats of the list the container cannot carry, as
// mark_unavailable marks encoders. Indices stay as they are.
void mark_pixel_formats(const AVOutputFormat& muxer, const char* encoder_name, ChoiceList& formats);

// True when the muxer writes its header for one stream of this codec with
// common broadcast settings (1920x1080 at 25 fps, 48 kHz stereo): how a
// muxer that lists no codecs of its own is asked what it takes.
bool muxer_writes_header(const AVOutputFormat& muxer, const AVCodec& codec);
