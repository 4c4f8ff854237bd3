// QuickTime boxes (atoms): their byte order, reading them from a buffer or from the top level of a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

namespace boxes {

constexpr uint32_t fourcc(const char (&name)[5]) {
    return uint32_t(uint8_t(name[0])) << 24 | uint32_t(uint8_t(name[1])) << 16 | uint32_t(uint8_t(name[2])) << 8 |
           uint32_t(uint8_t(name[3]));
}

constexpr uint64_t HEADER_SIZE = 8;
constexpr uint64_t WIDE_HEADER_SIZE = 16;  // with a 64-bit size after the type

inline uint32_t read_be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

inline uint64_t read_be64(const uint8_t* p) { return uint64_t(read_be32(p)) << 32 | read_be32(p + 4); }

inline void write_be32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

inline void write_be64(uint8_t* p, uint64_t v) {
    write_be32(p, uint32_t(v >> 32));
    write_be32(p + 4, uint32_t(v));
}

template <typename Byte>
struct BasicBox {
    uint32_t type;
    Byte* body;
    size_t size;    // of the body
    size_t header;  // HEADER_SIZE or WIDE_HEADER_SIZE
    Byte* begin() const { return body; }
    Byte* end() const { return body + size; }
    Byte* start() const { return body - header; }  // of the whole box
};
using Box = BasicBox<uint8_t>;              // in a buffer to patch
using ConstBox = BasicBox<const uint8_t>;  // in one only read

// The boxes that fill [begin, end), in order. False when one does not fit
// (`boxes` then holds those before it). A size of 0 runs to `end`.
bool read_boxes(uint8_t* begin, uint8_t* end, std::vector<Box>& boxes);
bool read_boxes(const uint8_t* begin, const uint8_t* end, std::vector<ConstBox>& boxes);

// The first of `boxes` of `type`, or null.
template <typename Byte>
const BasicBox<Byte>* find_box(const std::vector<BasicBox<Byte>>& boxes, uint32_t type) {
    for (const BasicBox<Byte>& box : boxes)
        if (box.type == type) return &box;
    return nullptr;
}

// How a box's header fits what holds it.
enum class Fit {
    Whole,
    CutHeader,    // what holds it ends inside its header (before its type, when `header` is 8)
    BelowHeader,  // its size is smaller than its header
    PastTheEnd,   // it runs past the end
};

// A box at the top level of a file.
struct FileBox {
    uint32_t type = 0;     // 0 when fewer than 8 bytes were left for its header
    uint64_t offset = 0;   // of its header
    uint64_t size = 0;     // header included, as the header says it; 1 when its 64-bit size is cut off
    uint64_t header = HEADER_SIZE;
    bool toEnd = false;    // its size said 0: it runs to the end of the file, `size` is what is left
    Fit fit = Fit::Whole;
};

struct TopLevel {
    enum class End {
        Filled,      // the boxes fill the file
        Stopped,     // `more` stopped the walk before the end of the file
        DoesNotFit,  // `misfit` follows the boxes
        ReadError,   // a header after the boxes could not be read
    };
    uint64_t fileSize = 0;
    std::vector<FileBox> boxes;  // every one whole inside the file, in order
    End end = End::Filled;
    FileBox misfit;
};

// Says whether the walk goes on after `box`.
using KeepWalking = std::function<bool(const FileBox& box)>;

// The top-level boxes of a file, read by their headers alone. False, with
// nothing walked, when the file's size cannot be learnt. The FILE's
// position is left anywhere.
bool read_top_level(FILE* file, TopLevel& top, const KeepWalking& more = {});
bool read_top_level(int fd, TopLevel& top, const KeepWalking& more = {});
// The same over bytes in memory, a file's whole content.
TopLevel read_top_level(const uint8_t* bytes, size_t size);

}  // namespace boxes
