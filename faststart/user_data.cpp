#include "user_data.h"

#include "atoms.h"

#include "boxes/box_writer.h"

#include <algorithm>
#include <cstdint>

namespace faststart {

namespace {

using boxes::append_box;

bool is_sound_track(const Box& trak) {
    std::vector<Box> children, media;
    if (!read_boxes(trak.begin(), trak.end(), children)) return false;
    const Box* mdia = find_box(children, fourcc("mdia"));
    if (!mdia || !read_boxes(mdia->begin(), mdia->end(), media)) return false;
    const Box* hdlr = find_box(media, fourcc("hdlr"));
    return hdlr && hdlr->size >= 12 && read_be32(hdlr->body + 8) == fourcc("soun");
}

std::vector<uint8_t> track_with(const Box& trak, const std::vector<uint8_t>& box) {
    std::vector<Box> children;
    read_boxes(trak.begin(), trak.end(), children);
    std::vector<uint8_t> body;
    bool placed = false;
    for (const Box& child : children) {
        std::vector<uint8_t> inner(child.begin(), child.end());
        if (child.type == fourcc("udta") && !placed) {
            // QuickTime may close user data with four zero bytes: the box goes before them.
            const bool closed =
                inner.size() >= 4 && std::all_of(inner.end() - 4, inner.end(), [](uint8_t b) { return b == 0; });
            inner.insert(closed ? inner.end() - 4 : inner.end(), box.begin(), box.end());
            placed = true;
        }
        append_box(body, child.type, inner);
    }
    if (!placed) append_box(body, fourcc("udta"), box);
    std::vector<uint8_t> out;
    append_box(out, fourcc("trak"), body);
    return out;
}

}  // namespace

bool add_to_sound_track_user_data(std::vector<uint8_t>& moov, const std::vector<uint8_t>& box) {
    if (moov.size() < boxes::HEADER_SIZE) return false;
    const size_t header = read_be32(moov.data()) == 1 ? boxes::WIDE_HEADER_SIZE : boxes::HEADER_SIZE;
    std::vector<Box> children;
    if (moov.size() < header || !read_boxes(moov.data() + header, moov.data() + moov.size(), children)) return false;
    std::vector<uint8_t> body;
    bool placed = false;
    for (const Box& child : children) {
        if (!placed && child.type == fourcc("trak") && is_sound_track(child)) {
            const std::vector<uint8_t> trak = track_with(child, box);
            body.insert(body.end(), trak.begin(), trak.end());
            placed = true;
        } else {
            append_box(body, child.type, std::vector<uint8_t>(child.begin(), child.end()));
        }
    }
    if (!placed || body.size() + boxes::HEADER_SIZE > UINT32_MAX) return false;
    std::vector<uint8_t> index;
    append_box(index, ATOM_MOOV, body);
    moov.swap(index);
    return true;
}

}  // namespace faststart
