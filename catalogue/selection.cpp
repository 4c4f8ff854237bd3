// What the panel stands on: rebuilding the lists that hang on the chosen
// container and encoders, and reading the chosen names back.
#include "catalogue.h"
#include "profiles.h"

#include "panel/Controls.h"
#include "plugin/messages.h"
#include "plugin/state.h"
#include "writer/FFWriter.h"

#include <cstring>

namespace {

int32_t control_value(const PluginState& state, uint32_t Controls::*control) {
    return state.controls ? state.controls->get_int(state.controls.get()->*control) : 0;
}

// The name at a control's index, or none when the index is out of range.
const char* name_at(const EncoderList& list, int32_t index) {
    if (index < 0 || static_cast<size_t>(index) >= list.size()) return nullptr;
    return list[index].name;
}

const char* video_encoder_at_control(const PluginState& state) {
    return name_at(state.video_encoders, control_value(state, &Controls::m_videoEncoder));
}

const char* audio_encoder_at_control(const PluginState& state) {
    return name_at(state.audio_encoders, control_value(state, &Controls::m_audioEncoder));
}

void rebuild_encoder_list(PluginState& state, const char* name, EncoderList& list, bool video) {
    list.clear();
    add_encoders(0, list, video, !video, false);
    const AVOutputFormat* muxer = find_muxer(name);
    if (!muxer) {
        if (state.writer)
            state.writer->log(LOG_ERROR, "QelFFmpegWriter: can't find container/format with name: %s", name ? name : "");
        return;
    }
    list_container_encoders(*muxer, list, video);
}

}  // namespace

void select_container(PluginState& state, const char* name, bool reset) {
    rebuild_encoder_list(state, name, state.video_encoders, true);
    rebuild_encoder_list(state, name, state.audio_encoders, false);
    if (state.controls) {
        state.controls->set_video_encoders(state.video_encoders, reset);
        state.controls->set_audio_encoders(state.audio_encoders, reset);
    }

    list_profiles(video_encoder_at_control(state), state.video_profiles);
    if (state.controls) state.controls->set_video_profiles(state.video_profiles, reset);
    list_profiles(audio_encoder_at_control(state), state.audio_profiles);
    if (state.controls) state.controls->set_audio_profiles(state.audio_profiles, reset);
    list_pixel_formats(video_encoder_at_control(state), state.pixel_formats);
    if (state.controls) state.controls->set_pixel_formats(state.pixel_formats, reset);
    list_sample_formats(audio_encoder_at_control(state), state.sample_formats);
}

void select_video_encoder(PluginState& state, bool reset) {
    list_profiles(video_encoder_at_control(state), state.video_profiles);
    if (state.controls) state.controls->set_video_profiles(state.video_profiles, reset);
}

void select_audio_encoder(PluginState& state, bool reset) {
    list_profiles(audio_encoder_at_control(state), state.audio_profiles);
    if (state.controls) state.controls->set_audio_profiles(state.audio_profiles, reset);
}

void refresh_pixel_formats(PluginState& state, bool reset) {
    list_pixel_formats(video_encoder_at_control(state), state.pixel_formats);
    if (state.controls) state.controls->set_pixel_formats(state.pixel_formats, reset);
}

void build_catalogue(PluginState& state) {
    list_containers(state.containers);
    if (state.controls) state.controls->set_containers(state.containers);
    extension_for_container(selected_container(state), state.extension);
    select_container(state, selected_container(state), true);
}

void restore_selection(PluginState& state) {
    if (state.lists_restored) return;
    select_container(state, selected_container(state), false);
    extension_for_container(selected_container(state), state.extension);
    update_control_states(state);
    state.lists_restored = true;
}

const char* selected_container(const PluginState& state) {
    const int32_t index = control_value(state, &Controls::m_container);
    if (index < 0 || static_cast<size_t>(index) >= state.containers.size()) return FALLBACK_CONTAINER;
    return state.containers[index].name;
}

const char* selected_video_encoder(const PluginState& state) {
    const char* name = video_encoder_at_control(state);
    return (name && std::strcmp(name, NO_VIDEO_TEXT) != 0) ? name : nullptr;
}

const char* selected_audio_encoder(const PluginState& state) {
    const char* name = audio_encoder_at_control(state);
    return (name && std::strcmp(name, NO_AUDIO_TEXT) != 0) ? name : nullptr;
}
