// The one reader of QuickTime boxes (atoms): a box's type, where its body
// starts and how long it is, for the faststart rewrite and the crash-safe
// movie's fragments alike. Sizes of 64 bits and "to the end" are read too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace faststart {

template <typename Byte>
struct BasicBox {
    uint32_t type;
    Byte* body;
    size_t size;  // of the body
    Byte* begin() const { return body; }
    Byte* end() const { return body + size; }
};
using Box = BasicBox<uint8_t>;              // in a buffer to patch
using ConstBox = BasicBox<const uint8_t>;  // in one only read

// The boxes that fill [begin, end), in order. False when one does not fit
// (`boxes` then holds those before it).
bool read_boxes(uint8_t* begin, uint8_t* end, std::vector<Box>& boxes);
bool read_boxes(const uint8_t* begin, const uint8_t* end, std::vector<ConstBox>& boxes);

// The first of `boxes` of `type`, or null.
template <typename Byte>
const BasicBox<Byte>* find_box(const std::vector<BasicBox<Byte>>& boxes, uint32_t type) {
    for (const BasicBox<Byte>& box : boxes)
        if (box.type == type) return &box;
    return nullptr;
}

}  // namespace faststart
