// The panel's fixed choice lists and the rules that turn control values into
// writer settings.
#pragma once

#include "catalogue/entries.h"

#include <cstdint>
#include <string>

class Controls;

// Translated once when the module is loaded; live as long as the module.
const char* quality_choices();
const char* audio_bit_rate_choices();
constexpr const char* BIT_RATE_MODE_CHOICES = "CBR,VBR";
constexpr int32_t DEFAULT_QUALITY_INDEX = 2;
constexpr int32_t DEFAULT_AUDIO_BIT_RATE_INDEX = 3;

// One text of items separated by ','. A ',' inside a label would split the
// item, so it becomes '.'; each label is cut at 255 characters.
std::string join_choices(const char* const* labels, size_t count);

int32_t quality_setting(int32_t index);
int32_t audio_bit_rate_setting(int32_t index);
int32_t video_bit_rate_setting(int32_t kilobytesPerSecond);
int32_t vbr_setting(int32_t index);

struct ChannelSelection {
    uint32_t mask = 0;
    int32_t count = 0;
};
ChannelSelection select_channels(const Controls& controls, int32_t hostChannels);
