#include "boxes.h"

#include "header.h"

#include <algorithm>

namespace boxes {

Fit read_header(const uint8_t* p, uint64_t got, uint64_t left, FileBox& box) {
    box.header = HEADER_SIZE;
    box.toEnd = false;
    if (got < HEADER_SIZE) {
        box.type = 0;
        box.size = 0;
        return box.fit = Fit::CutHeader;
    }
    box.type = read_be32(p + 4);
    box.size = read_be32(p);
    if (box.size == 1) {
        box.header = WIDE_HEADER_SIZE;
        if (got < WIDE_HEADER_SIZE) return box.fit = Fit::CutHeader;
        box.size = read_be64(p + 8);
    } else if (box.size == 0) {
        box.size = left;
        box.toEnd = true;
    }
    if (box.size < box.header) return box.fit = Fit::BelowHeader;
    if (box.size > left) return box.fit = Fit::PastTheEnd;
    return box.fit = Fit::Whole;
}

namespace {

template <typename Byte>
bool read_any(Byte* begin, Byte* end, std::vector<BasicBox<Byte>>& boxes) {
    boxes.clear();
    while (begin != end) {
        const uint64_t left = uint64_t(end - begin);
        FileBox box;
        if (read_header(begin, std::min(left, WIDE_HEADER_SIZE), left, box) != Fit::Whole) return false;
        boxes.push_back({box.type, begin + box.header, size_t(box.size - box.header), size_t(box.header)});
        begin += box.size;
    }
    return true;
}

}  // namespace

bool read_boxes(uint8_t* begin, uint8_t* end, std::vector<Box>& boxes) { return read_any(begin, end, boxes); }
bool read_boxes(const uint8_t* begin, const uint8_t* end, std::vector<ConstBox>& boxes) {
    return read_any(begin, end, boxes);
}

}  // namespace boxes
