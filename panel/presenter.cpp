// The presenter: rebuilding the lists that hang on the chosen container and
// encoders, reading the chosen names back, and which controls apply.
#include "presenter.h"

#include "catalogue/availability.h"
#include "catalogue/catalogue.h"
#include "catalogue/colour_choices.h"
#include "catalogue/profiles.h"

#include <cstring>

namespace {

const char* name_at(const EncoderList& list, const Controls& controls, uint32_t control) {
    const EncoderEntry* entry = entry_at(list, controls, control);
    return entry ? entry->name : nullptr;
}

const char* video_encoder_at_control(const Panel& panel) {
    return name_at(panel.lists.video_encoders, panel.controls, panel.controls.m_videoEncoder);
}

const char* audio_encoder_at_control(const Panel& panel) {
    return name_at(panel.lists.audio_encoders, panel.controls, panel.controls.m_audioEncoder);
}

bool wants_ten_bits(const Panel& panel) {
    return needs_ten_bits(panel.controls.get_int(panel.controls.m_colour));
}

void rebuild_encoder_list(const Panel& panel, const char* name, EncoderList& list, bool video) {
    list.clear();
    add_encoders(0, list, video, !video, false);
    const AVOutputFormat* muxer = find_muxer(name);
    if (!muxer) {
        log_to(panel.log, LOG_ERROR, "QelFFmpegWriter: can't find container/format with name: %s", name ? name : "");
        return;
    }
    list_container_encoders(*muxer, list, video);
    if (video && wants_ten_bits(panel)) mark_without_ten_bits(list);
}

// One line when the user picks what the list marks as not working here.
void tell_if_unavailable(const Panel& panel, const EncoderList& list, uint32_t control) {
    const EncoderEntry* entry = entry_at(list, panel.controls, control);
    if (!entry || !entry->unavailable) return;
    log_to(panel.log, LOG_WARNING, "QelFFmpegWriter: %s will not work here: %s", entry->name, entry->unavailable);
}

// The encoder's pixel formats, those the container cannot carry marked.
void list_container_pixel_formats(const Panel& panel, const char* container) {
    PanelLists& lists = panel.lists;
    const char* encoder = video_encoder_at_control(panel);
    list_pixel_formats(encoder, lists.pixel_formats);
    if (const AVOutputFormat* muxer = find_muxer(container)) mark_pixel_formats(*muxer, encoder, lists.pixel_formats);
}

void tell_if_pixels_unavailable(const Panel& panel) {
    const ChoiceEntry* entry = entry_at(panel.lists.pixel_formats, panel.controls, panel.controls.m_pixelFormat);
    if (!entry) return;
    if (entry->unavailable)
        log_to(panel.log, LOG_WARNING, "QelFFmpegWriter: %s will not work here: %s", pixel_format_name(entry->value),
               entry->unavailable);
    else if (wants_ten_bits(panel) && luma_depth(entry->value) < 10)
        log_to(panel.log, LOG_WARNING, "QelFFmpegWriter: %s will not work here: %s pictures need 10 bits or more",
               pixel_format_name(entry->value), colour_name(panel.controls.get_int(panel.controls.m_colour)));
}

// A profile that cannot carry the chosen pixels takes a pixel format it can.
void match_pixels_to_profile(const Panel& panel) {
    Controls& controls = panel.controls;
    const PanelLists& lists = panel.lists;
    const EncoderEntry* encoder = entry_at(lists.video_encoders, controls, controls.m_videoEncoder);
    const ChoiceEntry* profile = entry_at(lists.video_profiles, controls, controls.m_videoProfile);
    if (!encoder || !profile) return;
    const ChoiceEntry* pixels = entry_at(lists.pixel_formats, controls, controls.m_pixelFormat);
    if (pixels && profile_carries(encoder->codec_id, profile->label, profile->value, pixels->value)) return;
    const int32_t wanted = pixels_for_profile(encoder->codec_id, *profile, lists.pixel_formats);
    if (wanted >= 0) controls.set_int(controls.m_pixelFormat, wanted);
}

// And pixels the profile cannot carry take the profile to one that can, as
// the command line takes the profile from the pixels.
void match_profile_to_pixels(const Panel& panel) {
    Controls& controls = panel.controls;
    const PanelLists& lists = panel.lists;
    const EncoderEntry* encoder = entry_at(lists.video_encoders, controls, controls.m_videoEncoder);
    const ChoiceEntry* profile = entry_at(lists.video_profiles, controls, controls.m_videoProfile);
    const ChoiceEntry* pixels = entry_at(lists.pixel_formats, controls, controls.m_pixelFormat);
    if (!encoder || !profile || !pixels) return;
    if (profile_carries(encoder->codec_id, profile->label, profile->value, pixels->value)) return;
    const size_t current = size_t(profile - lists.video_profiles.data());
    const int32_t wanted = profile_for_pixels(encoder->codec_id, lists.video_profiles, current, pixels->value);
    if (wanted >= 0) controls.set_int(controls.m_videoProfile, wanted);
}

// PQ and HLG take fewer than 10 bits to the encoder's 10-bit format, as a
// profile takes its pixels; the profile then follows.
void match_pixels_to_colour(const Panel& panel) {
    Controls& controls = panel.controls;
    const ChoiceEntry* pixels = entry_at(panel.lists.pixel_formats, controls, controls.m_pixelFormat);
    if (!pixels || !wants_ten_bits(panel) || luma_depth(pixels->value) >= 10) return;
    const int32_t wanted = ten_bit_format_for(panel.lists.pixel_formats, pixels->value);
    if (wanted < 0) return;
    controls.set_int(controls.m_pixelFormat, wanted);
    match_profile_to_pixels(panel);
}

// The encoders that code 8 bits at most are marked while PQ or HLG is chosen;
// the choices stay where they are.
void relabel_video_encoders(const Panel& panel) {
    rebuild_encoder_list(panel, selected_container(panel.lists, panel.controls), panel.lists.video_encoders, true);
    panel.controls.set_video_encoders(panel.lists.video_encoders, false);
}

}  // namespace

void select_container(const Panel& panel, const char* name, bool reset) {
    Controls& controls = panel.controls;
    PanelLists& lists = panel.lists;
    rebuild_encoder_list(panel, name, lists.video_encoders, true);
    rebuild_encoder_list(panel, name, lists.audio_encoders, false);
    controls.set_video_encoders(lists.video_encoders, reset);
    controls.set_audio_encoders(lists.audio_encoders, reset);

    list_profiles(video_encoder_at_control(panel), lists.video_profiles);
    controls.set_video_profiles(lists.video_profiles, reset);
    list_profiles(audio_encoder_at_control(panel), lists.audio_profiles);
    controls.set_audio_profiles(lists.audio_profiles, reset);
    list_container_pixel_formats(panel, name);
    controls.set_pixel_formats(lists.pixel_formats, reset);
    list_sample_formats(audio_encoder_at_control(panel), lists.sample_formats);
}

void select_video_encoder(const Panel& panel, bool reset) {
    list_profiles(video_encoder_at_control(panel), panel.lists.video_profiles);
    panel.controls.set_video_profiles(panel.lists.video_profiles, reset);
}

void select_audio_encoder(const Panel& panel, bool reset) {
    list_profiles(audio_encoder_at_control(panel), panel.lists.audio_profiles);
    panel.controls.set_audio_profiles(panel.lists.audio_profiles, reset);
    list_sample_formats(audio_encoder_at_control(panel), panel.lists.sample_formats);
}

void refresh_pixel_formats(const Panel& panel, bool reset) {
    list_container_pixel_formats(panel, selected_container(panel.lists, panel.controls));
    panel.controls.set_pixel_formats(panel.lists.pixel_formats, reset);
}

void build_catalogue(const Panel& panel) {
    PanelLists& lists = panel.lists;
    list_containers(lists.containers);
    panel.controls.set_containers(lists.containers);
    const char* container = selected_container(lists, panel.controls);
    extension_for_container(container, lists.extension);
    select_container(panel, container, true);
}

void restore_selection(const Panel& panel) {
    PanelLists& lists = panel.lists;
    if (lists.restored) return;
    const char* container = selected_container(lists, panel.controls);
    select_container(panel, container, false);
    extension_for_container(container, lists.extension);
    update_control_states(panel);
    lists.restored = true;
}

void on_control_changed(const Panel& panel, ControlChange change) {
    Controls& controls = panel.controls;
    PanelLists& lists = panel.lists;
    switch (change) {
    case CHANGE_CONTAINER:
        select_container(panel, selected_container(lists, controls), true);
        match_pixels_to_colour(panel);
        break;
    case CHANGE_VIDEO_ENCODER:
        select_video_encoder(panel, true);
        refresh_pixel_formats(panel, true);
        match_pixels_to_colour(panel);
        tell_if_unavailable(panel, lists.video_encoders, controls.m_videoEncoder);
        break;
    case CHANGE_COLOUR:
        relabel_video_encoders(panel);
        match_pixels_to_colour(panel);
        tell_if_unavailable(panel, lists.video_encoders, controls.m_videoEncoder);
        break;
    case CHANGE_VIDEO_PROFILE:
        match_pixels_to_profile(panel);
        break;
    case CHANGE_PIXEL_FORMAT:
        match_profile_to_pixels(panel);
        tell_if_pixels_unavailable(panel);
        break;
    case CHANGE_AUDIO_ENCODER:
        select_audio_encoder(panel, true);
        tell_if_unavailable(panel, lists.audio_encoders, controls.m_audioEncoder);
        break;
    default:
        break;
    }
    extension_for_container(selected_container(lists, controls), lists.extension);
    update_control_states(panel);
}

void update_control_states(const Panel& panel) {
    Controls& controls = panel.controls;

    if (is_x264_encoder(selected_video_encoder(panel.lists, controls)))
        controls.enable(controls.m_quality, true);
    else
        controls.disable(controls.m_quality);

    // Tested on the number times 8000, in 64 bits so an out-of-range host value cannot wrap.
    controls.enable(controls.m_bitRateMode, int64_t(controls.get_int(controls.m_videoBitRate)) * 8000 > 0);

    const bool quickTime = is_quicktime_container(selected_container(panel.lists, controls));
    controls.enable(controls.m_fastStart, quickTime);
    if (!quickTime) controls.set_bool(controls.m_fastStart, false);

    const bool pq = controls.get_int(controls.m_colour) == COLOUR_PQ;
    for (uint32_t control : {controls.m_masteringPrimaries, controls.m_masteringMax, controls.m_masteringMin,
                             controls.m_maxContentLight, controls.m_maxFrameAverageLight}) {
        if (pq)
            controls.enable(control, true);
        else
            controls.disable(control);
    }
}

const char* selected_container(const PanelLists& lists, const Controls& controls) {
    const ContainerEntry* entry = entry_at(lists.containers, controls, controls.m_container);
    return entry ? entry->name : FALLBACK_CONTAINER;
}

const char* selected_video_encoder(const PanelLists& lists, const Controls& controls) {
    const char* name = name_at(lists.video_encoders, controls, controls.m_videoEncoder);
    return (name && std::strcmp(name, NO_VIDEO_TEXT) != 0) ? name : nullptr;
}

const char* selected_audio_encoder(const PanelLists& lists, const Controls& controls) {
    const char* name = name_at(lists.audio_encoders, controls, controls.m_audioEncoder);
    return (name && std::strcmp(name, NO_AUDIO_TEXT) != 0) ? name : nullptr;
}
