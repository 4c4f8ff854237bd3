#include "box_writer.h"

#include "boxes.h"

namespace boxes {

void BoxWriter::be32(uint32_t v) {
    uint8_t bytes[4];
    write_be32(bytes, v);
    m_out.insert(m_out.end(), bytes, bytes + 4);
}

void BoxWriter::be64(uint64_t v) {
    be32(uint32_t(v >> 32));
    be32(uint32_t(v));
}

size_t BoxWriter::open(uint32_t type) {
    const size_t start = m_out.size();
    be32(0);
    be32(type);
    return start;
}

size_t BoxWriter::open(uint32_t type, uint32_t versionAndFlags) {
    const size_t start = open(type);
    be32(versionAndFlags);
    return start;
}

void BoxWriter::close(size_t start) { write_be32(m_out.data() + start, uint32_t(m_out.size() - start)); }

void append_box(std::vector<uint8_t>& out, uint32_t type, const std::vector<uint8_t>& body) {
    BoxWriter writer(out);
    const size_t box = writer.open(type);
    writer.bytes(body);
    writer.close(box);
}

}  // namespace boxes
