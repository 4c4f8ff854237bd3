// FFmpeg's text for an error code.
#pragma once

#include <cstdint>

// One buffer shared by the whole module: use the text at once, the next call
// overwrites it.
const char* ffmpeg_error_text(int32_t code);

constexpr int ERROR_TEXT_SIZE = 64;
extern char g_errorText[ERROR_TEXT_SIZE];
