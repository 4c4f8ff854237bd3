// FFmpeg's text for an error code.
#pragma once

#include <cstdint>

// One buffer per thread: use the text at once, the thread's next call
// overwrites it.
const char* ffmpeg_error_text(int32_t code);

constexpr int ERROR_TEXT_SIZE = 64;
