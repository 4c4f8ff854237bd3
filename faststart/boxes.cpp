#include "boxes.h"

#include "atoms.h"

namespace faststart {

namespace {

template <typename Byte>
bool read_any(Byte* begin, Byte* end, std::vector<BasicBox<Byte>>& boxes) {
    boxes.clear();
    while (begin != end) {
        const size_t left = size_t(end - begin);
        if (left < ATOM_HEADER_SIZE) return false;
        uint64_t size = read_be32(begin);
        uint64_t header = ATOM_HEADER_SIZE;
        if (size == 1) {
            if (left < EXTENDED_HEADER_SIZE) return false;
            size = read_be64(begin + 8);
            header = EXTENDED_HEADER_SIZE;
        } else if (size == 0) {
            size = left;  // the last box runs to the end
        }
        if (size < header || size > left) return false;
        boxes.push_back({read_be32(begin + 4), begin + header, size_t(size - header)});
        begin += size;
    }
    return true;
}

}  // namespace

bool read_boxes(uint8_t* begin, uint8_t* end, std::vector<Box>& boxes) { return read_any(begin, end, boxes); }
bool read_boxes(const uint8_t* begin, const uint8_t* end, std::vector<ConstBox>& boxes) {
    return read_any(begin, end, boxes);
}

}  // namespace faststart
