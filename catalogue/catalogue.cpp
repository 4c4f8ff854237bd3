// Container and encoder catalogue (not yet built).
#include "catalogue.h"

#include "plugin/state.h"

const AVOutputFormat* find_muxer(const char*) { return nullptr; }
bool is_excluded_muxer(const char*, const char*) { return false; }
void list_containers(ContainerList& containers) { containers.clear(); }
void add_encoders(int32_t, EncoderList&, bool, bool, bool) {}
void extension_for_container(const char*, char (&extension)[260]) { extension[0] = '\0'; }
void select_container(PluginState&, const char*, bool) {}
void select_video_encoder(PluginState&, bool) {}
void select_audio_encoder(PluginState&, bool) {}
void refresh_pixel_formats(PluginState&, bool) {}
void build_catalogue(PluginState&) {}
void restore_selection(PluginState& state) { state.lists_restored = true; }
const char* selected_container(const PluginState&) { return FALLBACK_CONTAINER; }
const char* selected_video_encoder(const PluginState&) { return nullptr; }
const char* selected_audio_encoder(const PluginState&) { return nullptr; }
