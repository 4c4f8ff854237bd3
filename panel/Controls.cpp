// Control panel (not yet built).
#include "Controls.h"

#include "plugin/host_services.h"
#include "plugin/state.h"

Controls::Controls(void* const* logSuite, void* const* ctrlSuite) : m_logSuite(logSuite), m_ctrlSuite(ctrlSuite) {}
Controls::~Controls() = default;
void Controls::build() {}
void Controls::refresh() {}
ControlChange Controls::change_for_control(uint32_t) { return CHANGE_NONE; }
void Controls::set_containers(const ContainerList&) {}
void Controls::set_video_encoders(const EncoderList&, bool) {}
void Controls::set_audio_encoders(const EncoderList&, bool) {}
void Controls::set_pixel_formats(const ChoiceList&, bool) {}
void Controls::set_video_profiles(const ChoiceList&, bool) {}
void Controls::set_audio_profiles(const ChoiceList&, bool) {}
void Controls::set_encoder_choices(const EncoderList&, uint32_t, bool) {}
void Controls::set_profile_choices(const ChoiceList&, uint32_t, bool) {}

int32_t Controls::get_int(uint32_t control) const {
    auto fn = suite_entry<QelCtrlGetInt>(m_ctrlSuite, CTRL_GET_INT);
    return (fn && control) ? fn(control) : 0;
}

bool Controls::get_bool(uint32_t control) const {
    auto fn = suite_entry<QelCtrlGetBool>(m_ctrlSuite, CTRL_GET_BOOL);
    return (fn && control) ? fn(control) : false;
}

void on_control_changed(PluginState&, ControlChange) {}
void update_control_states(PluginState&) {}
