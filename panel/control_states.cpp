// What a changed control rebuilds, and which controls apply to the choices made.
#include "Controls.h"

#include "catalogue/catalogue.h"
#include "catalogue/profiles.h"
#include "plugin/state.h"

#include <cstring>

void on_control_changed(PluginState& state, ControlChange change) {
    switch (change) {
    case CHANGE_CONTAINER:
        select_container(state, selected_container(state), true);
        break;
    case CHANGE_VIDEO_ENCODER:
        select_video_encoder(state, true);
        refresh_pixel_formats(state, true);
        break;
    case CHANGE_AUDIO_ENCODER: {
        select_audio_encoder(state, true);
        const int32_t index = state.controls->get_int(state.controls->m_audioEncoder);
        const char* name = (index >= 0 && size_t(index) < state.audio_encoders.size())
                               ? state.audio_encoders[size_t(index)].name
                               : nullptr;
        list_sample_formats(name, state.sample_formats);
        break;
    }
    default:
        break;
    }
    extension_for_container(selected_container(state), state.extension);
    update_control_states(state);
}

void update_control_states(PluginState& state) {
    Controls& controls = *state.controls;

    const char* video = selected_video_encoder(state);
    const bool x264 = video && (std::strcmp(video, "libx264") == 0 || std::strcmp(video, "libx264rgb") == 0);
    if (x264)
        controls.enable(controls.m_quality, true);
    else
        controls.disable(controls.m_quality);

    // Tested on the number times 8000, in 64 bits so an out-of-range host value cannot wrap.
    controls.enable(controls.m_bitRateMode, int64_t(controls.get_int(controls.m_videoBitRate)) * 8000 > 0);

    const char* container = selected_container(state);
    const bool quickTime = std::strcmp(container, "mov") == 0 || std::strcmp(container, "mp4") == 0;
    controls.enable(controls.m_fastStart, quickTime);
    if (!quickTime) controls.set_bool(controls.m_fastStart, false);
}
