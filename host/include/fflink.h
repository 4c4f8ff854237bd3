// The host's FFmpeg binding library (C linkage).
#pragma once
#include <cstdint>

extern "C" {
bool fflink_load(const int32_t* libraries, const char* path);
void fflink_unload(void);
}
