// One plug-in instance's state, parked in QEL_Host.plugin_data.
#pragma once

#include "catalogue/entries.h"

#include <cstdint>
#include <memory>

class FFWriter;
class Controls;

constexpr int PATH_SIZE = 260;

struct PluginState {
    PluginState();
    ~PluginState();

    std::unique_ptr<FFWriter> writer;
    std::unique_ptr<Controls> controls;
    bool lists_restored = false;
    bool audio_on = false;
    bool video_on = false;
    char path[PATH_SIZE] = {};
    char extension[PATH_SIZE] = {};
    int32_t last_segment = -1;
    double sample_rate = 0;
    int32_t bits_per_sample = 0;
    int32_t bytes_per_sample = 0;
    int32_t channels = 0;
    int32_t audio_flags = 0;
    uint32_t channel_mask = 0;
    // Picture layout of the open output: the host must not change it mid-output.
    int32_t open_width = 0;
    int32_t open_height = 0;
    int32_t open_channels = 0;
    ContainerList containers;
    EncoderList video_encoders;
    EncoderList audio_encoders;
    ChoiceList pixel_formats;
    ChoiceList video_profiles;
    ChoiceList audio_profiles;
    ChoiceList sample_formats;
};

// Bounded copy that always terminates.
void copy_text(char* destination, size_t size, const char* source);
template <size_t N>
void copy_text(char (&destination)[N], const char* source) {
    copy_text(destination, N, source);
}
