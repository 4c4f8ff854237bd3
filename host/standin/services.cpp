// Stand-in for the host's services library.
#include "VelmoraServices.h"
#include "standin.h"

#include <atomic>
#include <cstring>
#include <map>

namespace {
int g_maxAudioChannels = 16;
std::map<int32_t, bool> g_config;
// Counted from every thread the host's instances run on.
std::atomic<int> g_copies{0};
std::atomic<int> g_liveImages{0};
bool g_noIContext = false;

void icontext_copy(void*, _image_str* destination, _image_str* source) {
    if (!destination || !source || !destination->pixels || !source->pixels) return;
    if (destination->width != source->width || destination->height != source->height ||
        destination->channels != source->channels)
        return;
    std::memcpy(destination->pixels, source->pixels,
                sizeof(uint16_t) * size_t(source->width) * size_t(source->height) * size_t(source->channels));
    ++g_copies;
}

void icontext_complete(void*, _image_str* destination) {
    if (destination) destination->direct = true;
}

// An object whose first 8 bytes point at its table of operations, as the host's are.
struct DefaultIContext {
    void* const* table;
};
void* const g_icontextTable[11] = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   reinterpret_cast<void*>(&icontext_copy),
                                   reinterpret_cast<void*>(&icontext_complete)};
DefaultIContext g_defaultIContext{g_icontextTable};
}  // namespace

extern "C" {

int vl_max_audio_channels(void) { return g_maxAudioChannels; }

bool kconfig_get_bool(int32_t key) {
    auto it = g_config.find(key);
    return it != g_config.end() && it->second;
}

// Plug-in and host image formats share their numbers in the stand-in.
int32_t Remap_QelImageFormat2KORVEX(int32_t plugin_format) { return plugin_format; }

_image_str* mem_alloc_image(int32_t width, int32_t height, int32_t channels, int32_t host_format, int32_t) {
    if (width <= 0 || height <= 0 || channels <= 0) return nullptr;
    auto* image = new _image_str{width, height, channels, host_format, true, nullptr};
    image->pixels = new uint16_t[size_t(width) * size_t(height) * size_t(channels)]();
    ++g_liveImages;
    return image;
}

void img_delete(_image_str* image) {
    if (!image) return;
    delete[] image->pixels;
    delete image;
    --g_liveImages;
}

VlIContext* srv_get_default_icontext(void) {
    return g_noIContext ? nullptr : reinterpret_cast<VlIContext*>(&g_defaultIContext);
}

void standin_set_no_icontext(bool none) { g_noIContext = none; }

void standin_set_max_audio_channels(int channels) { g_maxAudioChannels = channels; }
void standin_set_config_bool(int32_t key, bool value) { g_config[key] = value; }
int standin_icontext_copies(void) { return g_copies; }
int standin_live_images(void) { return g_liveImages; }
}
