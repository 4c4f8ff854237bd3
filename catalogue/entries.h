// Records of the catalogue lists. Texts point at FFmpeg's or the module's
// constant strings and are never copied.
#pragma once

#include <cstdint>
#include <vector>

struct ContainerEntry {
    const char* name;
    const char* long_name;
    const char* extensions;
};

struct EncoderEntry {
    int32_t codec_id;
    const char* name;
    const char* label;
    int32_t media_type;  // 0 video, 1 audio
    bool is_default;
    const char* unavailable = nullptr;  // why it cannot work here, or null
};

struct ChoiceEntry {
    const char* label;
    int32_t value;
    bool is_default;
    const char* unavailable = nullptr;  // why it cannot work here, or null
};

using ContainerList = std::vector<ContainerEntry>;
using EncoderList = std::vector<EncoderEntry>;
using ChoiceList = std::vector<ChoiceEntry>;
