// What a render that died leaves under its unfinished name: every frame up to
// its last whole batch. Its frames from the first on, as many as decode whole
// and have their sound, become the output's first segment, so that a render of
// the rest (as a segment) continues it and the join makes the one movie.
#pragma once

#include "base/log.h"

#include <cstdint>
#include <string>

namespace join {

struct Leftover {
    std::string path;
    int64_t frames = 0;  // frames 0 to frames-1 can be kept
    int64_t held = 0;    // pictures it holds in all
};

// The leftover of a render of `output`; false with `why` when there is none or
// it cannot be read. `atMost` bounds the frames kept (0: no bound).
bool find_leftover(const std::string& output, int64_t atMost, Leftover& leftover, std::string& why);

// The leftover's frames up to the first segment's written as the segment
// before it, with its settings; the leftover is then removed. False when it
// could not be: it said why, and the leftover is as it was.
bool adopt_leftover(const std::string& output, LogSink log);

}  // namespace join
