// What a changed control rebuilds, and which controls apply to the choices made.
#include "Controls.h"

#include "catalogue/catalogue.h"
#include "catalogue/profiles.h"
#include "plugin/messages.h"
#include "plugin/state.h"
#include "writer/FFWriter.h"

#include <cstring>

namespace {

const EncoderEntry* entry_at_control(const PluginState& state, const EncoderList& list, uint32_t control) {
    const int32_t index = state.controls->get_int(control);
    return (index >= 0 && size_t(index) < list.size()) ? &list[size_t(index)] : nullptr;
}

// One line when the user picks what the list marks as not working here.
void tell_if_unavailable(const PluginState& state, const EncoderList& list, uint32_t control) {
    const EncoderEntry* entry = entry_at_control(state, list, control);
    if (!entry || !entry->unavailable || !state.writer) return;
    state.writer->log(LOG_WARNING, "QelFFmpegWriter: %s will not work here: %s", entry->name, entry->unavailable);
}

// A profile that fixes the chroma layout takes the pixel format with it.
void match_pixels_to_profile(PluginState& state) {
    Controls& controls = *state.controls;
    const EncoderEntry* encoder = entry_at_control(state, state.video_encoders, controls.m_videoEncoder);
    const int32_t profileIndex = controls.get_int(controls.m_videoProfile);
    if (!encoder || profileIndex < 0 || size_t(profileIndex) >= state.video_profiles.size()) return;
    const Chroma chroma = profile_chroma(encoder->codec_id, state.video_profiles[size_t(profileIndex)].value);
    const int32_t pixelIndex = controls.get_int(controls.m_pixelFormat);
    if (pixelIndex >= 0 && size_t(pixelIndex) < state.pixel_formats.size() &&
        has_chroma(state.pixel_formats[size_t(pixelIndex)].value, chroma))
        return;
    const int32_t wanted = format_for_chroma(state.pixel_formats, chroma);
    if (wanted >= 0) controls.set_int(controls.m_pixelFormat, wanted);
}

}  // namespace

void on_control_changed(PluginState& state, ControlChange change) {
    switch (change) {
    case CHANGE_CONTAINER:
        select_container(state, selected_container(state), true);
        break;
    case CHANGE_VIDEO_ENCODER:
        select_video_encoder(state, true);
        refresh_pixel_formats(state, true);
        tell_if_unavailable(state, state.video_encoders, state.controls->m_videoEncoder);
        break;
    case CHANGE_VIDEO_PROFILE:
        match_pixels_to_profile(state);
        break;
    case CHANGE_AUDIO_ENCODER: {
        select_audio_encoder(state, true);
        const EncoderEntry* entry = entry_at_control(state, state.audio_encoders, state.controls->m_audioEncoder);
        list_sample_formats(entry ? entry->name : nullptr, state.sample_formats);
        tell_if_unavailable(state, state.audio_encoders, state.controls->m_audioEncoder);
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
