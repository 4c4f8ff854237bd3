// Patching the chunk-offset tables of a moov atom held in memory.
#include "atoms.h"

namespace faststart {

bool patch_chunk_offsets(LogSink log, uint8_t* moov, uint64_t moovSize) {
    // The search is byte by byte, so the tables of every track are found at
    // whatever depth they sit without walking the atom tree.
    for (uint64_t i = 4; i + 4 < moovSize;) {
        const uint32_t type = read_be32(moov + i);
        if (type != ATOM_STCO && type != ATOM_CO64) {
            ++i;
            continue;
        }
        const bool wide = type == ATOM_CO64;
        log_to(log, LOG_VERBOSE, wide ? "QelFFmpegWriter: faststart conversion: patching co64 atom..."
                                     : "QelFFmpegWriter: faststart conversion: patching stco atom...");
        const uint64_t atomStart = i - 4;
        const uint64_t atomSize = read_be32(moov + atomStart);
        const uint64_t atomEnd = atomStart + atomSize;
        // A table must hold its own header (which also keeps the search moving
        // forward) and its entries must lie inside it, or the patch would
        // rewrite the atoms that follow.
        const uint64_t entrySize = wide ? 8 : 4;
        bool fits = atomSize >= CHUNK_OFFSET_HEADER_SIZE && atomEnd <= moovSize;
        uint64_t count = 0;
        if (fits) {
            count = read_be32(moov + i + 8);
            fits = atomStart + CHUNK_OFFSET_HEADER_SIZE + count * entrySize <= atomEnd;
        }
        uint8_t* entry = moov + atomStart + CHUNK_OFFSET_HEADER_SIZE;
        for (uint64_t n = 0; fits && n < count; ++n, entry += entrySize) {
            if (wide) {
                const uint64_t offset = read_be64(entry);
                fits = offset <= UINT64_MAX - moovSize;
                if (fits) write_be64(entry, offset + moovSize);
            } else {
                const uint64_t offset = uint64_t(read_be32(entry)) + moovSize;
                fits = offset <= UINT32_MAX;
                if (fits) write_be32(entry, uint32_t(offset));
            }
        }
        if (!fits) {
            log_to(log, LOG_ERROR, "QelFFmpegWriter: faststart conversion: bad atom size!");
            return false;
        }
        i = atomEnd + 1;
    }
    return true;
}

}  // namespace faststart
