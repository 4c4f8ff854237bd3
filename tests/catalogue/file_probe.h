// What FFmpeg's demuxer and decoder find in a written file's video stream.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct VideoStreamFacts {
    bool opened = false;
    int profile = -99;
    std::string profile_name;
    std::vector<bool> key_frames;  // by packet, in presentation order
    int64_t payload_bytes = 0;
    double duration_seconds = 0;
    std::string x264_options;  // the text x264 leaves in its first SEI
    int decoded_frames = 0;
};

VideoStreamFacts probe_video(const std::string& path);
