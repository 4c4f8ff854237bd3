#include "messages.h"

#include "host_services.h"

extern "C" {
#include <libavutil/error.h>
}

char g_errorText[ERROR_TEXT_SIZE];

void default_log_sink(int32_t level, const char* text) { host_log(level, text); }

const char* ffmpeg_error_text(int32_t code) {
    av_strerror(code, g_errorText, sizeof g_errorText);
    return g_errorText;
}
