// Boxes made in a byte vector: open one, write its body, close it to set its size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace boxes {

// Appends to `out`, which it does not own. A box is at most 4 GiB: its size takes 32 bits.
class BoxWriter {
public:
    explicit BoxWriter(std::vector<uint8_t>& out) : m_out(out) {}
    void be32(uint32_t v);
    void be64(uint64_t v);
    void bytes(const std::vector<uint8_t>& bytes) { m_out.insert(m_out.end(), bytes.begin(), bytes.end()); }
    // Where the box starts, for close().
    size_t open(uint32_t type);
    // A full box: version and flags after the type.
    size_t open(uint32_t type, uint32_t versionAndFlags);
    void close(size_t start);

private:
    std::vector<uint8_t>& m_out;
};

// `body` as a box of `type`, appended to `out`.
void append_box(std::vector<uint8_t>& out, uint32_t type, const std::vector<uint8_t>& body);

}  // namespace boxes
