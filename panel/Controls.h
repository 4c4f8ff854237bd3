// The panel the host draws: creates the controls, shows the catalogue's
// lists, and tells what a changed control means.
#pragma once

#include "catalogue/entries.h"

#include <cstdint>
#include <string>

enum ControlChange : int32_t {
    CHANGE_NONE = 0,
    CHANGE_CONTAINER = 2,
    CHANGE_VIDEO_ENCODER = 3,
    CHANGE_AUDIO_ENCODER = 4,
    CHANGE_PIXEL_FORMAT = 5,
    CHANGE_VIDEO_PROFILE = 6,
    CHANGE_AUDIO_PROFILE = 7,
    CHANGE_VIDEO_BITRATE = 9,
    CHANGE_COLOUR = 10,
};

constexpr int MAX_AUDIO_CHANNEL_TOGGLES = 16;

class Controls {
public:
    Controls(void* const* logSuite, void* const* ctrlSuite);
    virtual ~Controls();
    Controls(const Controls&) = delete;
    Controls& operator=(const Controls&) = delete;

    virtual void build();
    virtual void refresh();
    virtual ControlChange change_for_control(uint32_t control_id);
    virtual void set_containers(const ContainerList& containers);
    virtual void set_video_encoders(const EncoderList& encoders, bool reset);
    virtual void set_audio_encoders(const EncoderList& encoders, bool reset);
    virtual void set_pixel_formats(const ChoiceList& formats, bool reset);
    virtual void set_video_profiles(const ChoiceList& profiles, bool reset);
    virtual void set_audio_profiles(const ChoiceList& profiles, bool reset);
    virtual void set_encoder_choices(const EncoderList& encoders, uint32_t control, bool reset);
    virtual void set_profile_choices(const ChoiceList& profiles, uint32_t control, bool reset);

    // Control values as the host holds them (0 / false for a control not created).
    int32_t get_int(uint32_t control) const;
    bool get_bool(uint32_t control) const;

    // The Ctrl suite's operations on one control.
    void set_int(uint32_t control, int32_t value);
    void set_bool(uint32_t control, bool value);
    void set_choices(uint32_t control, const char* choices);
    void enable(uint32_t control, bool on);
    void disable(uint32_t control);
    void set_selectable(uint32_t control, bool on);
    void set_fixed(uint32_t control);

    void* const* m_logSuite;
    void* const* m_ctrlSuite;
    uint32_t m_videoEncoder = 0;
    uint32_t m_audioEncoder = 0;
    uint32_t m_container = 0;
    uint32_t m_pixelFormat = 0;
    uint32_t m_videoProfile = 0;
    uint32_t m_audioProfile = 0;
    uint32_t m_audioEncoderLabel = 0;
    uint32_t m_containerLabel = 0;
    uint32_t m_videoEncoderLabel = 0;
    uint32_t m_quality = 0;
    uint32_t m_fastStart = 0;
    uint32_t m_keyFrames = 0;
    uint32_t m_videoBitRate = 0;
    uint32_t m_audioChannels[MAX_AUDIO_CHANNEL_TOGGLES] = {};
    uint32_t m_stereo = 0;
    uint32_t m_sixteenBit = 0;
    uint32_t m_audioBitRate = 0;
    uint32_t m_bitRateMode = 0;
    // The colour space and, for PQ, the mastering display and light levels.
    uint32_t m_colour = 0;
    uint32_t m_masteringPrimaries = 0;
    uint32_t m_masteringMax = 0;
    uint32_t m_masteringMin = 0;
    uint32_t m_maxContentLight = 0;
    uint32_t m_maxFrameAverageLight = 0;
    // Rendered as a segment for the join (writer/segment_files.h).
    uint32_t m_segment = 0;
    // The delivery the sound is judged by (catalogue/loudness_targets.h).
    uint32_t m_loudnessTarget = 0;

private:
    void place(uint32_t control, float row, float column, float width);
    uint32_t add_label(const char* text, float row, float column, float width);
    uint32_t add_choice(const char* id, const char* label, const char* choices, int32_t index, float row,
                        float column, float width);
    uint32_t add_toggle(const char* id, const char* label, bool initial, bool flag, float row, float column,
                        float width);
    uint32_t add_number(const char* id, const char* label, double initial, double minimum, double maximum,
                        float row, float column, float width);
    // Resets, shows "-" disabled for an empty list, else enables and shows
    // the items; false when the list was empty.
    bool show_list(uint32_t control, const std::string& choices, bool empty, bool reset);
};
