// What the stand-in host libraries offer beyond the host's own contract:
// the image record they share with the stand-in host, and switches tests use
// to make the host answer differently.
#pragma once
#include <cstdint>

// The stand-in's host image: 16-bit samples, rows packed one after another.
struct _image_str {
    int32_t width;
    int32_t height;
    int32_t channels;
    int32_t host_format;
    bool direct;       // image_is_direct answers this
    uint16_t* pixels;  // width * height * channels samples
};

extern "C" {
// vl_pgettext answers `translation` for (context, text) from now on; a null
// translation removes it. Context null means none.
void standin_set_translation(const char* context, const char* text, const char* translation);
void standin_clear_translations(void);
void standin_set_max_audio_channels(int channels);
void standin_set_config_bool(int32_t key, bool value);
void standin_set_fflink_fail(bool fail);
int standin_fflink_loaded(void);  // binds minus unbinds so far
int standin_icontext_copies(void);
// From now on the process ends with SIGKILL once the module has read half of
// a file it opened through vl_utf8_fopen: a host that dies while the module
// copies a movie (the faststart rewrite).
void standin_crash_in_copy(bool on);
// srv_get_default_icontext answers null: the host cannot copy images.
void standin_set_no_icontext(bool none);
int standin_live_images(void);    // images from mem_alloc_image not yet deleted
}
