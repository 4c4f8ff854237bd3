// The host's services library (C linkage).
#pragma once
#include <cstdint>

struct _image_str;
struct VlIContext;

extern "C" {
int vl_max_audio_channels(void);
bool kconfig_get_bool(int32_t key);
int32_t Remap_QelImageFormat2KORVEX(int32_t plugin_format);
_image_str* mem_alloc_image(int32_t width, int32_t height, int32_t channels, int32_t host_format, int32_t heap_id);
void img_delete(_image_str* image);
VlIContext* srv_get_default_icontext(void);
}

// Host switch that turns off the metadata the writer would add.
constexpr int32_t KCONFIG_NO_METADATA = 146;
