// The join: the segments of a farm render made into the movie one render
// would have written. The pictures are copied as they were coded; the sound,
// kept in each segment as the host gave it, is coded once over the whole
// movie, so that no join of two segments can be heard. The movie is written
// by the same writer as a render (unfinished name, faststart, timecode,
// metadata) and the segments are removed only once it is finished.
#pragma once

#include "segment_set.h"

#include "base/log.h"

#include <optional>
#include <string>

namespace join {

struct JoinRequest {
    std::string output;
    std::optional<FrameRange> expected;  // the frames the segments must cover
    bool keepSegments = false;
    LogSink log = nullptr;
};

// False when nothing was joined; it has said why in one sentence (level 4).
bool join_segments(const JoinRequest& request);

}  // namespace join
