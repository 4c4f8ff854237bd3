// The segments of one output, found in the folder beside it and checked to
// belong together before anything is written: every one finished and whole,
// all rendered with the same settings, their frames contiguous, none missing
// or held twice.
#pragma once

#include "writer/movie_file/segment_files.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace join {

struct FrameRange {
    int64_t first = 0;
    int64_t last = 0;  // inclusive
};

struct FoundSegment {
    SegmentManifest manifest;
    std::string path;  // the segment's movie
    int64_t end() const { return manifest.firstFrame + manifest.frames; }
};

struct SegmentSet {
    std::string folder;
    std::vector<FoundSegment> segments;  // by first frame
};

// False with one sentence in `why` when the segments cannot make the movie;
// `expected` (when given) is the range they must cover exactly.
bool find_segments(const std::string& outputPath, const std::optional<FrameRange>& expected, SegmentSet& set,
                   std::string& why);

}  // namespace join
