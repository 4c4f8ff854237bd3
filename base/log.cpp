#include "log.h"

#include "host_services.h"

#include <cstdio>

void default_log_sink(int32_t level, const char* text) { host_log(level, text); }

void vlog_to(LogSink sink, int32_t level, const char* format, va_list args) {
    if (!sink) return;
    char text[1024];
    std::vsnprintf(text, sizeof text, format, args);
    sink(level, text);
}

void log_to(LogSink sink, int32_t level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vlog_to(sink, level, format, args);
    va_end(args);
}
