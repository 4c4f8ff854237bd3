// The walk over the top-level atoms of a movie file.
#include "atoms.h"

#include <cstring>
#include <new>
#include <sys/types.h>

namespace faststart {

namespace {

// Types that may stand between ftyp and moov and are copied unchanged.
bool is_skippable(uint32_t type) {
    static constexpr uint32_t types[] = {fourcc("free"), fourcc("junk"), fourcc("mdat"), fourcc("pnot"),
                                         fourcc("skip"), fourcc("wide"), fourcc("PICT"), fourcc("uuid")};
    for (uint32_t t : types)
        if (t == type) return true;
    return false;
}

bool read_exact(FILE* in, void* data, uint64_t size) {
    return size == 0 || std::fread(data, 1, size_t(size), in) == size;
}

}  // namespace

Buffer allocate(uint64_t size) {
    if (size > SIZE_MAX) return nullptr;
    return Buffer(new (std::nothrow) uint8_t[size_t(size ? size : 1)]);
}

bool scan_top_level(LogSink log, FILE* in, const char* inFileName, TopLevelLayout& layout) {
    if (fseeko(in, 0, SEEK_END) != 0 || (layout.fileSize = ftello(in)) < 0 || fseeko(in, 0, SEEK_SET) != 0) {
        log_to(log, LOG_ERROR, "QelFFmpegWriter: seek error, file <%s>", inFileName);
        return false;
    }
    int64_t start = 0;
    for (;;) {
        uint8_t header[EXTENDED_HEADER_SIZE];
        if (!read_exact(in, header, ATOM_HEADER_SIZE)) return true;
        uint64_t size = read_be32(header);
        const uint32_t type = read_be32(header + 4);
        layout.lastType = type;
        layout.lastSize = size;
        layout.lastStart = start;
        // What is left of the file from the atom's start; never negative, the
        // header was just read from there.
        const uint64_t available = uint64_t(layout.fileSize - start);

        if (type == ATOM_FTYP) {
            // The last ftyp wins; its extended-size form is not looked at.
            layout.ftyp.reset();
            layout.ftypSize = 0;
            if (size < ATOM_HEADER_SIZE) return true;
            if (size > available) {
                log_to(log, LOG_ERROR, "QelFFmpegWriter: error reading file <%s>", inFileName);
                return false;
            }
            layout.ftyp = allocate(size);
            if (!layout.ftyp) {
                log_to(log, LOG_ERROR, "QelFFmpegWriter: faststart-conversion: memory allocation error");
                return false;
            }
            std::memcpy(layout.ftyp.get(), header, ATOM_HEADER_SIZE);
            if (!read_exact(in, layout.ftyp.get() + ATOM_HEADER_SIZE, size - ATOM_HEADER_SIZE)) {
                layout.ftyp.reset();
                log_to(log, LOG_ERROR, "QelFFmpegWriter: error reading file <%s>", inFileName);
                return false;
            }
            layout.ftypSize = size;
            layout.ftypStart = start;
            layout.ftypEnd = start + int64_t(size);
            start = layout.ftypEnd;
            continue;
        }

        uint64_t headerSize = ATOM_HEADER_SIZE;
        if (size == 1) {
            if (!read_exact(in, header + ATOM_HEADER_SIZE, 8)) return true;
            size = read_be64(header + ATOM_HEADER_SIZE);
            layout.lastSize = size;
            headerSize = EXTENDED_HEADER_SIZE;
        }
        if (type != ATOM_MOOV && !is_skippable(type)) {
            log_to(log, LOG_WARNING,
                       "QelFFmpegWriter: encountered non-QT top-level atom (is this a QuickTime file?). File <%s>",
                       inFileName);
            return true;
        }
        // An atom shorter than its own header, or running past the end of the
        // file, is the last one: nothing after it can be read as an atom.
        if (size < headerSize || size >= available) return true;
        start += int64_t(size);
        if (fseeko(in, start, SEEK_SET) != 0) {
            log_to(log, LOG_ERROR, "QelFFmpegWriter: seek error, file <%s>", inFileName);
            return false;
        }
    }
}

}  // namespace faststart
