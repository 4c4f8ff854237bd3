// Where a PQ output's mastering display and light levels go: the stream's
// side data, which the containers write as their own boxes or elements, and
// the parameters of the encoders that write them into their bitstream, each
// in that place's order and units.
#pragma once

#include "writer/colour/output_colour.h"

#include <string>

extern "C" {
#include <libavformat/avformat.h>
}

// Before the header and after the stream's parameters are taken from the
// encoder (which replaces them). False when out of memory.
bool attach_hdr_to_stream(AVStream& stream, const OutputColour& colour);

// The private option an encoder takes them through ("x265-params",
// "svtav1-params"), or null for one that has no place for them.
const char* hdr_params_option(const char* encoder);
// That option's text: x265 counts chromaticities in 0.00002 and luminance
// in 0.0001 cd/m², SVT-AV1 takes both as decimals; both list G, B, R.
std::string hdr_params(const char* option, const OutputColour& colour);

// The muxers measured to write the stream's mastering display and light
// levels as their own boxes or elements (mov, mp4, Matroska, WebM) on every
// FFmpeg generation the module builds on.
bool container_keeps_hdr(const char* muxer);
