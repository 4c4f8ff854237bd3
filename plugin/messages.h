// Message levels and FFmpeg error text.
#pragma once

#include <cstdint>

enum LogLevel : int32_t {
    LOG_PLAIN = 0,
    LOG_VERBOSE = 1,
    LOG_INFO = 2,
    LOG_WARNING = 3,
    LOG_ERROR = 4,
};

// The writer's default log callback: forwards a finished text to the host.
void default_log_sink(int32_t level, const char* text);

// FFmpeg's text for an error code, in one buffer shared by the whole module:
// use it at once, the next call overwrites it.
const char* ffmpeg_error_text(int32_t code);

constexpr int ERROR_TEXT_SIZE = 64;
extern char g_errorText[ERROR_TEXT_SIZE];
