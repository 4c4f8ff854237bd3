// libswscale, for the pictures the one-pass converter does not make (packed,
// palette and RGB outputs).
#pragma once

#include "base/ffmpeg_ptr.h"
#include "writer/picture/converter_setup.h"

// A converter from `setup.inFormat` to `setup.outFormat` at one size, fast
// bilinear, the setup's matrix and output range, libswscale's slice threads;
// null when libswscale refuses the pair.
SwsContextPtr make_converter(const ConverterSetup& setup);
