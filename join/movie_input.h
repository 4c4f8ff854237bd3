// A movie the join reads: a segment, or what a dead render left.
#pragma once

#include "base/ffmpeg_ptr.h"

#include <string>

namespace join {

struct MovieInput {
    InputContextPtr input;
    int video = -1;  // the first stream of each kind; -1 for none
    int audio = -1;
    const AVStream* pictures() const;
    const AVStream* sound() const;
};

// False with FFmpeg's reason in `why`. `probe`: pictures are decoded to learn
// what the index does not say (a movie cut off by a crash has no index of its own).
bool open_movie(const std::string& path, bool probe, MovieInput& movie, std::string& why);

}  // namespace join
