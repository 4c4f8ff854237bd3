// Moving a finished movie's index (moov) in front of its media.
#pragma once

#include "base/log.h"

#include <cstdint>
#include <vector>

namespace faststart {

// Writes `outFileName` as `inFileName` with moov right after ftyp and every
// chunk offset moved along. Refuses, before anything is written, a file it
// cannot rewrite, and an output that is the input under another name; leaves
// no output behind on failure. Reports through `log`. With `soundTrackBox`,
// the index moved carries that box in its sound track's user data too.
bool convert(const char* inFileName, const char* outFileName, LogSink log,
             const std::vector<uint8_t>* soundTrackBox = nullptr);

}  // namespace faststart
