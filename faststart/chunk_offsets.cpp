// Patching the chunk-offset tables of a moov atom held in memory.
#include "atoms.h"

namespace faststart {

namespace {

// The boxes on the way from moov to a track's tables. Only these are opened:
// the bytes of any other box (a title, a comment, a reel) are never taken
// for a table, whatever letters they hold.
constexpr uint32_t TABLE_PATH[] = {fourcc("moov"), fourcc("trak"), fourcc("mdia"), fourcc("minf"), fourcc("stbl")};

bool holds_tables(uint32_t type) {
    for (const uint32_t step : TABLE_PATH)
        if (type == step) return true;
    return false;
}

bool patch_table(const Box& table, uint64_t shift) {
    const bool wide = table.type == ATOM_CO64;
    const uint64_t entrySize = wide ? 8 : 4;
    // Version and flags, then the count; its entries must lie inside the box.
    if (table.size < 8) return false;
    const uint64_t count = read_be32(table.body + 4);
    if (count > (table.size - 8) / entrySize) return false;
    uint8_t* entry = table.body + 8;
    for (uint64_t n = 0; n < count; ++n, entry += entrySize) {
        if (wide) {
            const uint64_t offset = read_be64(entry);
            if (offset > UINT64_MAX - shift) return false;
            write_be64(entry, offset + shift);
        } else {
            const uint64_t offset = uint64_t(read_be32(entry)) + shift;
            if (offset > UINT32_MAX) return false;
            write_be32(entry, uint32_t(offset));
        }
    }
    return true;
}

// The path is five boxes deep; a file nesting them deeper is not followed
// down (nor into a stack overflow).
constexpr int DEEPEST = 8;

bool patch_inside(LogSink log, uint8_t* begin, uint8_t* end, uint64_t shift, int depth) {
    std::vector<Box> boxes;
    if (!read_boxes(begin, end, boxes)) return false;
    for (const Box& box : boxes) {
        if (box.type == ATOM_STCO || box.type == ATOM_CO64) {
            log_to(log, LOG_VERBOSE, box.type == ATOM_CO64 ? "QelFFmpegWriter: faststart conversion: patching co64 atom..."
                                                          : "QelFFmpegWriter: faststart conversion: patching stco atom...");
            if (!patch_table(box, shift)) return false;
        } else if (holds_tables(box.type) && depth < DEEPEST &&
                   !patch_inside(log, box.begin(), box.end(), shift, depth + 1)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool patch_chunk_offsets(LogSink log, uint8_t* moov, uint64_t moovSize) {
    if (patch_inside(log, moov, moov + moovSize, moovSize, 0)) return true;
    log_to(log, LOG_ERROR, "QelFFmpegWriter: faststart conversion: bad atom size!");
    return false;
}

}  // namespace faststart
