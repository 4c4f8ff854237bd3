// What the writer tests share: host pictures, a writer that records its
// messages, and a real decoder that reads the files back.
#pragma once

#include "VelmoraServices.h"
#include "common/media_probe.h"
#include "common/writer_log.h"
#include "plugin/messages.h"
#include "writer/FFWriter.h"

#include <cstdint>
#include <string>
#include <vector>

namespace writer_test {

// A moving 16-bit host picture: RGBA64LE (4 channels) or RGB48LE (3).
// Soft gradients that stay away from black and white, shifted per frame.
std::vector<uint16_t> host_picture(int width, int height, int channels, int frame);

// Writes frames 0..count-1 of host_picture; frame 0 and `forcedKey` asked as key frames.
bool write_frames(FFWriter& writer, int count, int width = 64, int height = 48, int channels = 4,
                  const char* timecode = "01:00:00:00", int forcedKey = 0);

// A fresh directory under the build tree for one test's files.
std::string scratch_dir(const std::string& name);
bool file_exists(const std::string& path);

// Settings for a video-only output; the caller keeps `container`/`codec`
// texts alive for the call to open.
WriterSettings video_settings(const char* container, const char* codec, int width, int height, int channels);

// The file as probe::read finds it, with decoder messages at error level
// counted as errors; every `rgbEvery`-th frame (none for 0) read as RGB48.
probe::File decode_file(const std::string& path, int rgbEvery = 0);

// The worst channel's mean difference of 8x8 block averages, as a fraction of
// full scale: a level shift, with the coding noise averaged out.
double level_error(const std::vector<uint16_t>& decodedRgb, const std::vector<uint16_t>& hostPicture, int width,
                   int height, int channels);

// ffprobe's field order of the first video stream ("progressive", "tt", ...).
std::string probe_field_order(const std::string& path);

}  // namespace writer_test
