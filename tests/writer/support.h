// What the writer tests share beyond the common kit: writing a clip and
// reading it back with a real decoder, and measures of what came back.
#pragma once

#include "VelmoraServices.h"
#include "common/media_probe.h"
#include "common/writer_kit.h"
#include "common/writer_log.h"
#include "base/log.h"
#include "writer/FFWriter.h"

#include <cstdint>
#include <string>
#include <vector>

namespace writer_test {

// The file as probe::read finds it, with decoder messages at error level
// counted as errors; every `rgbEvery`-th frame (none for 0) read as RGB48.
probe::File decode_file(const std::string& path, int rgbEvery = 0);

// Opens `path`, writes `frames` frames as write_frames does and closes, each
// step expected to succeed; the file as decode_file reads it.
probe::File write_clip(FFWriter& writer, const std::string& path, WriterSettings settings, int frames,
                       const char* timecode = "01:00:00:00", int rgbEvery = 0, int forcedKey = 0);

// The worst channel's mean difference of 8x8 block averages, as a fraction of
// full scale: a level shift, with the coding noise averaged out.
double level_error(const std::vector<uint16_t>& decodedRgb, const std::vector<uint16_t>& hostPicture, int width,
                   int height, int channels);

// ffprobe's field order of the first video stream ("progressive", "tt", ...).
std::string probe_field_order(const std::string& path);

}  // namespace writer_test
