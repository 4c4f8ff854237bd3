// What readers besides FFmpeg find in a movie: GStreamer's decoders and MediaInfo.
#pragma once

#include "common/run.h"

#include <cctype>
#include <cstdint>
#include <filesystem>
#include <string>

// A file's absolute path as a file:// URI, every byte but the unreserved ones escaped.
inline std::string file_uri(const std::string& path) {
    static const char* hex = "0123456789ABCDEF";
    std::string uri = "file://";
    for (unsigned char c : std::filesystem::absolute(path).string()) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
            uri += char(c);
        } else {
            uri += '%';
            uri += hex[c >> 4];
            uri += hex[c & 15];
        }
    }
    return uri;
}

// The pictures GStreamer decodes, counted as raw 4:2:0 frames; -1 when it
// fails, or spins on a file for minutes as it does on some MXF. playbin
// takes the sound too: a decodebin pad left unlinked can stall the pipeline.
inline int64_t gstreamer_frames(const std::string& path, int width, int height) {
    const std::string raw = path + ".i420";
    const CommandResult run = run_command("timeout 300 gst-launch-1.0 -q playbin uri='" + file_uri(path) +
                                          "' video-sink='videoconvert ! video/x-raw,format=I420 ! filesink location=\"" +
                                          raw + "\"' audio-sink='fakesink sync=false'");
    std::error_code error;
    const auto bytes = std::filesystem::file_size(raw, error);
    std::filesystem::remove(raw, error);
    return run.status == 0 ? int64_t(bytes / (size_t(width) * size_t(height) * 3 / 2)) : -1;
}

// What MediaInfo says of the video stream, in its --Inform template, trimmed.
inline std::string mediainfo_video(const std::string& path, const std::string& fields) {
    std::string out = run_command("mediainfo --Inform='Video;" + fields + "' '" + path + "'", false).out;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) out.pop_back();
    return out;
}

// MediaInfo's count of the first video stream's frames; -1 when it has none.
inline int64_t mediainfo_frames(const std::string& path) {
    try {
        return std::stoll(mediainfo_video(path, "%FrameCount%"));
    } catch (const std::exception&) {
        return -1;
    }
}
