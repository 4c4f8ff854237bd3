#include "error_text.h"

extern "C" {
#include <libavutil/error.h>
}

char g_errorText[ERROR_TEXT_SIZE];

const char* ffmpeg_error_text(int32_t code) {
    av_strerror(code, g_errorText, sizeof g_errorText);
    return g_errorText;
}
