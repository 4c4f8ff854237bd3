// The panel's presenter: shows the catalogue's lists in the controls, keeps
// them in step with the user's choices, and reads the chosen names back.
#pragma once

#include "Controls.h"

#include "base/log.h"
#include "base/text.h"
#include "catalogue/entries.h"

// What the panel shows, as last built: an output's settings are read from
// these lists at the controls' indices.
struct PanelLists {
    ContainerList containers;
    EncoderList video_encoders;
    EncoderList audio_encoders;
    ChoiceList pixel_formats;
    ChoiceList video_profiles;
    ChoiceList audio_profiles;
    ChoiceList sample_formats;
    // The chosen container's file extension, for the host's save dialog.
    char extension[PATH_SIZE] = {};
    bool restored = false;
};

// The presenter's reach: the host's controls, the lists it owns, and where
// it reports.
struct Panel {
    Controls& controls;
    PanelLists& lists;
    LogSink log;
};

// Fills every list once the controls exist, resetting the choices.
void build_catalogue(const Panel& panel);
// Rebuilds the lists for the choices a stored project brought, keeping them.
void restore_selection(const Panel& panel);
void select_container(const Panel& panel, const char* name, bool reset);
void select_video_encoder(const Panel& panel, bool reset);
void select_audio_encoder(const Panel& panel, bool reset);
void refresh_pixel_formats(const Panel& panel, bool reset);
void on_control_changed(const Panel& panel, ControlChange change);
// Which controls apply to the choices made.
void update_control_states(const Panel& panel);

// The chosen names; the fallback container for an index beyond the list, and
// null for no encoder (the no-entry row, or an index beyond the list).
const char* selected_container(const PanelLists& lists, const Controls& controls);
const char* selected_video_encoder(const PanelLists& lists, const Controls& controls);
const char* selected_audio_encoder(const PanelLists& lists, const Controls& controls);
// The entry at a list control's index, or null when the index is out of range.
template <typename List>
const typename List::value_type* entry_at(const List& list, const Controls& controls, uint32_t control) {
    const int32_t index = controls.get_int(control);
    return (index >= 0 && size_t(index) < list.size()) ? &list[size_t(index)] : nullptr;
}
