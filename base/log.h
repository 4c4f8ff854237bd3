// Message levels and where the module's texts go.
#pragma once

#include <cstdarg>
#include <cstdint>

enum LogLevel : int32_t {
    LOG_PLAIN = 0,
    LOG_VERBOSE = 1,
    LOG_INFO = 2,
    LOG_WARNING = 3,
    LOG_ERROR = 4,
};

// Takes a finished text; the writer, the panel and the faststart rewrite each
// report through one, so a caller (or a test) chooses where texts go.
using LogSink = void (*)(int32_t level, const char* text);

// Forwards a finished text to the host's Log suite.
void default_log_sink(int32_t level, const char* text);

// Formats and hands the text to `sink`; nothing happens without one. Texts
// are cut at 1023 characters.
void log_to(LogSink sink, int32_t level, const char* format, ...) __attribute__((format(printf, 3, 4)));
void vlog_to(LogSink sink, int32_t level, const char* format, va_list args);
