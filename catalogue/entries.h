// Records of the catalogue lists. Texts point at FFmpeg's or the module's
// constant strings and are never copied.
#pragma once

#include <cstddef>
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
};

struct ChoiceEntry {
    const char* label;
    int32_t value;
    bool is_default;
};

using ContainerList = std::vector<ContainerEntry>;
using EncoderList = std::vector<EncoderEntry>;
using ChoiceList = std::vector<ChoiceEntry>;

// The index a reset puts a list's control on: the first entry marked default,
// 0 when none is. (The first, not the last: later encoders of a container's
// default codec are hardware encoders that do not open without their device.)
template <typename Entry>
int32_t default_index(const std::vector<Entry>& list) {
    for (std::size_t i = 0; i < list.size(); ++i)
        if (list[i].is_default) return static_cast<int32_t>(i);
    return 0;
}
