#include "error_text.h"

extern "C" {
#include <libavutil/error.h>
}

namespace {
// One per thread: instances on different threads report at once.
thread_local char t_errorText[ERROR_TEXT_SIZE];
}  // namespace

const char* ffmpeg_error_text(int32_t code) {
    av_strerror(code, t_errorText, sizeof t_errorText);
    return t_errorText;
}
