// Creating the panel's controls and showing the catalogue's lists on them.
#include "Controls.h"

#include "VelmoraCore.h"
#include "VelmoraServices.h"
#include "settings_rules.h"
#include "base/host_services.h"
#include "catalogue/colour_choices.h"
#include "catalogue/loudness_targets.h"

#include <cstdio>
#include <vector>

namespace {
constexpr float CONTROL_HEIGHT = 1.0f;
constexpr float CHANNEL_COLUMN = 2.8f;
constexpr float CHANNEL_WIDTH = 0.2f;

const char* tr(const char* text) { return vl_pgettext(nullptr, text); }

template <typename List>
std::string joined_labels(const List& list) {
    std::vector<const char*> labels;
    labels.reserve(list.size());
    for (const auto& entry : list) labels.push_back(entry.label);
    return join_choices(labels.data(), labels.size());
}
}  // namespace

Controls::Controls(void* const* logSuite, void* const* ctrlSuite) : m_logSuite(logSuite), m_ctrlSuite(ctrlSuite) {}

Controls::~Controls() = default;

void Controls::place(uint32_t control, float row, float column, float width) {
    if (auto fn = suite_entry<QelCtrlPlace>(m_ctrlSuite, CTRL_PLACE)) fn(control, row, column, width, CONTROL_HEIGHT);
}

uint32_t Controls::add_label(const char* text, float row, float column, float width) {
    auto fn = suite_entry<QelCtrlAddLabel>(m_ctrlSuite, CTRL_ADD_LABEL);
    const uint32_t id = fn ? fn(text) : 0;
    place(id, row, column, width);
    return id;
}

uint32_t Controls::add_choice(const char* id, const char* label, const char* choices, int32_t index, float row,
                              float column, float width) {
    auto fn = suite_entry<QelCtrlAddChoice>(m_ctrlSuite, CTRL_ADD_CHOICE);
    const uint32_t control = fn ? fn(id, label, choices, index) : 0;
    place(control, row, column, width);
    return control;
}

uint32_t Controls::add_toggle(const char* id, const char* label, bool initial, bool flag, float row, float column,
                              float width) {
    auto fn = suite_entry<QelCtrlAddToggle>(m_ctrlSuite, CTRL_ADD_TOGGLE);
    const uint32_t control = fn ? fn(id, label, initial, flag) : 0;
    place(control, row, column, width);
    return control;
}

uint32_t Controls::add_number(const char* id, const char* label, double initial, double minimum, double maximum,
                              float row, float column, float width) {
    auto fn = suite_entry<QelCtrlAddNumber>(m_ctrlSuite, CTRL_ADD_NUMBER);
    const uint32_t control = fn ? fn(id, label, initial, minimum, maximum, 1.0, false) : 0;
    place(control, row, column, width);
    return control;
}

void Controls::build() {
    m_containerLabel = add_label(tr("Container Format"), 0, 0, 1);
    m_container = add_choice("klavformat", tr("Format: %s"), "...", 0, 1, 0, 2);
    m_videoEncoderLabel = add_label(tr("Video encoder"), 2, 0, 1);
    m_videoEncoder = add_choice("klavvideocodec", "%s", "...", 0, 3, 0, 1.4f);
    m_videoProfile = add_choice("klavvidprofile", tr("Profile: %s"), "...", 0, 3, 1.4f, 0.6f);
    m_pixelFormat = add_choice("klavpixelfmt", tr("Pixel: %s"), "...", 0, 3, 2.0f, 0.8f);
    m_quality = add_choice("klavquality", tr("Quality: %s"), quality_choices(), DEFAULT_QUALITY_INDEX, 4, 0, 0.8f);
    m_fastStart = add_toggle("klavfaststart", vl_pgettext("Faststart", "F"), false, false, 4, 0.8f, 0.2f);
    m_keyFrames = add_number("klavkeyframes", tr("GOP"), 24, 0, 50, 4, 1.0f, 0.4f);
    m_bitRateMode = add_choice("klavbitratemode", tr("Bitrate mode: %s"), BIT_RATE_MODE_CHOICES, 0, 4, 1.4f, 0.8f);
    m_videoBitRate = add_number("klavvidbitrate", tr("kBps"), 0, 0, 268435, 4, 2.2f, 0.6f);
    m_audioEncoderLabel = add_label(tr("Audio encoder"), 0, 2.8f, 1);
    m_audioEncoder = add_choice("klavaudiocodec", "%s", "...", 0, 1, 2.8f, 2.2f);
    m_audioProfile = add_choice("klavaudprofile", tr("Profile: %s"), "...", 0, 1, 5.0f, 1.0f);

    const int hostChannels = vl_max_audio_channels();
    char identifier[32];  // reused: the host copies what it is given
    for (int n = 1; n <= MAX_AUDIO_CHANNEL_TOGGLES; ++n) {
        if (n - 1 >= hostChannels) {
            m_audioChannels[n - 1] = 0;
            continue;
        }
        std::snprintf(identifier, sizeof identifier, "ffaudioChan%d", n);
        m_audioChannels[n - 1] =
            add_toggle(identifier, identifier + 11, false, false, 2, CHANNEL_COLUMN + CHANNEL_WIDTH * float(n - 1),
                       CHANNEL_WIDTH);
    }

    m_stereo = add_toggle("klavstereo", tr("Stereo"), false, false, 3, 2.8f, 0.5f);
    m_sixteenBit = add_toggle("klav16bit", tr("16 bit"), true, true, 3, 3.3f, 0.5f);
    m_audioBitRate = add_choice("klavaudbitrate", tr("Quality: %s"), audio_bit_rate_choices(),
                                DEFAULT_AUDIO_BIT_RATE_INDEX, 3, 3.8f, 0.8f);

    // Beneath the rest, so projects stored before them keep every index.
    m_colour = add_choice("klavcolour", tr("Colour: %s"), COLOUR_CHOICES, COLOUR_REC709, 5, 0, 1.0f);
    m_masteringPrimaries =
        add_choice("klavmasterprimaries", tr("Mastering: %s"), MASTERING_PRIMARIES_CHOICES, 0, 5, 1.0f, 1.0f);
    m_masteringMax = add_number("klavmastermax", tr("Max cd/m2"), 1000, 1, 10000, 5, 2.0f, 0.6f);
    m_masteringMin = add_choice("klavmastermin", tr("Min cd/m2: %s"), MASTERING_MIN_LUMINANCE_CHOICES,
                                DEFAULT_MASTERING_MIN_INDEX, 5, 2.6f, 0.8f);
    m_maxContentLight = add_number("klavmaxcll", tr("MaxCLL"), 1000, 0, 10000, 5, 3.4f, 0.5f);
    m_maxFrameAverageLight = add_number("klavmaxfall", tr("MaxFALL"), 400, 0, 10000, 5, 3.9f, 0.5f);
    // One piece of a farm render: a project stored before it renders whole.
    m_segment = add_toggle("klavsegment", tr("Farm segment"), false, false, 6, 0, 1.0f);
    // Measured whatever it says; a project stored before it judges nothing.
    m_loudnessTarget =
        add_choice("klavloudness", tr("Loudness: %s"), loudness_target_choices().c_str(), 0, 6, 1.0f, 1.6f);
}

void Controls::refresh() {}

ControlChange Controls::change_for_control(uint32_t control_id) {
    if (control_id == 0) return CHANGE_NONE;
    if (control_id == m_container) return CHANGE_CONTAINER;
    if (control_id == m_videoEncoder) return CHANGE_VIDEO_ENCODER;
    if (control_id == m_audioEncoder) return CHANGE_AUDIO_ENCODER;
    if (control_id == m_pixelFormat) return CHANGE_PIXEL_FORMAT;
    if (control_id == m_videoProfile) return CHANGE_VIDEO_PROFILE;
    if (control_id == m_audioProfile) return CHANGE_AUDIO_PROFILE;
    if (control_id == m_videoBitRate) return CHANGE_VIDEO_BITRATE;
    if (control_id == m_colour) return CHANGE_COLOUR;
    return CHANGE_NONE;
}

void Controls::set_containers(const ContainerList& containers) {
    std::vector<const char*> names;
    names.reserve(containers.size());
    for (const ContainerEntry& entry : containers) names.push_back(entry.long_name);
    set_choices(m_container, join_choices(names.data(), names.size()).c_str());
}

void Controls::set_video_encoders(const EncoderList& encoders, bool reset) {
    set_encoder_choices(encoders, m_videoEncoder, reset);
}

void Controls::set_audio_encoders(const EncoderList& encoders, bool reset) {
    set_encoder_choices(encoders, m_audioEncoder, reset);
}

void Controls::set_video_profiles(const ChoiceList& profiles, bool reset) {
    set_profile_choices(profiles, m_videoProfile, reset);
}

void Controls::set_audio_profiles(const ChoiceList& profiles, bool reset) {
    set_profile_choices(profiles, m_audioProfile, reset);
}

bool Controls::show_list(uint32_t control, const std::string& choices, bool empty, bool reset) {
    if (reset) set_int(control, 0);
    if (empty) {
        set_choices(control, "-");
        set_int(control, 0);
        disable(control);
        return false;
    }
    enable(control, true);
    set_choices(control, choices.c_str());
    return true;
}

void Controls::set_encoder_choices(const EncoderList& encoders, uint32_t control, bool reset) {
    if (!show_list(control, joined_labels(encoders), encoders.empty(), reset) || !reset) return;
    // The first default: later defaults of a codec are hardware encoders
    // that do not open without their device.
    int32_t index = 0;
    for (size_t i = 0; i < encoders.size(); ++i)
        if (encoders[i].is_default) {
            index = int32_t(i);
            break;
        }
    set_int(control, index);
}

void Controls::set_profile_choices(const ChoiceList& profiles, uint32_t control, bool reset) {
    if (!show_list(control, joined_labels(profiles), profiles.empty(), reset) || !reset) return;
    int32_t index = 0;
    for (size_t i = 0; i < profiles.size(); ++i)
        if (profiles[i].is_default) index = int32_t(i);
    set_int(control, index);
}

void Controls::set_pixel_formats(const ChoiceList& formats, bool reset) {
    const uint32_t control = m_pixelFormat;
    if (reset) set_int(control, 0);
    if (formats.empty()) {
        set_choices(control, "-");
        set_int(control, 0);
        disable(control);
        set_fixed(control);
        return;
    }
    enable(control, true);
    if (formats.size() > 1)
        set_selectable(control, true);
    else
        set_fixed(control);
    set_choices(control, joined_labels(formats).c_str());
}

int32_t Controls::get_int(uint32_t control) const {
    auto fn = suite_entry<QelCtrlGetInt>(m_ctrlSuite, CTRL_GET_INT);
    return (fn && control) ? fn(control) : 0;
}

bool Controls::get_bool(uint32_t control) const {
    auto fn = suite_entry<QelCtrlGetBool>(m_ctrlSuite, CTRL_GET_BOOL);
    return (fn && control) ? fn(control) : false;
}

void Controls::set_int(uint32_t control, int32_t value) {
    if (auto fn = suite_entry<QelCtrlSetInt>(m_ctrlSuite, CTRL_SET_INT)) fn(control, value);
}

void Controls::set_bool(uint32_t control, bool value) {
    if (auto fn = suite_entry<QelCtrlSetBool>(m_ctrlSuite, CTRL_SET_BOOL)) fn(control, value);
}

void Controls::set_choices(uint32_t control, const char* choices) {
    if (auto fn = suite_entry<QelCtrlSetChoices>(m_ctrlSuite, CTRL_SET_CHOICES)) fn(control, choices);
}

void Controls::enable(uint32_t control, bool on) {
    if (auto fn = suite_entry<QelCtrlEnable>(m_ctrlSuite, CTRL_ENABLE)) fn(control, on);
}

void Controls::disable(uint32_t control) {
    if (auto fn = suite_entry<QelCtrlControl>(m_ctrlSuite, CTRL_DISABLE)) fn(control);
}

void Controls::set_selectable(uint32_t control, bool on) {
    if (auto fn = suite_entry<QelCtrlEnable>(m_ctrlSuite, CTRL_SET_SELECTABLE)) fn(control, on);
}

void Controls::set_fixed(uint32_t control) {
    if (auto fn = suite_entry<QelCtrlControl>(m_ctrlSuite, CTRL_SET_FIXED)) fn(control);
}
