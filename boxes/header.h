// The one reading of a box header, for boxes in a buffer and in a file.
#pragma once

#include "boxes.h"

namespace boxes {

// The header at `p`, of which `got` bytes (at most WIDE_HEADER_SIZE) are at
// hand, `left` bytes before the end of what holds the box; fills `box` but
// its offset.
Fit read_header(const uint8_t* p, uint64_t got, uint64_t left, FileBox& box);

}  // namespace boxes
