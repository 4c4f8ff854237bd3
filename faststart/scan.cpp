// What the faststart rewrite takes from the top-level atoms of a movie file.
#include "atoms.h"

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

bool is_movie_atom(uint32_t type) { return type == ATOM_FTYP || type == ATOM_MOOV || is_skippable(type); }

bool read_exact(FILE* in, void* data, uint64_t size) {
    return size == 0 || std::fread(data, 1, size_t(size), in) == size;
}

void take_as_last(const boxes::FileBox& atom, TopLevelLayout& layout) {
    layout.lastType = atom.type;
    layout.lastSize = atom.toEnd ? 0 : atom.size;
    layout.lastStart = int64_t(atom.offset);
}

// Keeps the last ftyp, header and all. False after an error was logged;
// `taken` false when the atom ends the scan.
bool read_ftyp(LogSink log, FILE* in, const char* inFileName, const boxes::FileBox& atom, TopLevelLayout& layout,
               bool& taken) {
    // The last ftyp wins; its extended-size form is not looked at.
    layout.ftyp.reset();
    layout.ftypSize = 0;
    taken = false;
    if (atom.header != boxes::HEADER_SIZE) layout.lastSize = 1;
    if (atom.header != boxes::HEADER_SIZE || atom.toEnd || atom.fit == boxes::Fit::BelowHeader) return true;
    if (atom.fit == boxes::Fit::PastTheEnd) {
        log_to(log, LOG_ERROR, "QelFFmpegWriter: error reading file <%s>", inFileName);
        return false;
    }
    layout.ftyp = allocate(atom.size);
    if (!layout.ftyp) {
        log_to(log, LOG_ERROR, "QelFFmpegWriter: faststart-conversion: memory allocation error");
        return false;
    }
    if (fseeko(in, int64_t(atom.offset), SEEK_SET) != 0 || !read_exact(in, layout.ftyp.get(), atom.size)) {
        layout.ftyp.reset();
        log_to(log, LOG_ERROR, "QelFFmpegWriter: error reading file <%s>", inFileName);
        return false;
    }
    layout.ftypSize = atom.size;
    layout.ftypStart = int64_t(atom.offset);
    layout.ftypEnd = int64_t(atom.offset + atom.size);
    taken = true;
    return true;
}

}  // namespace

Buffer allocate(uint64_t size) {
    if (size > SIZE_MAX) return nullptr;
    return Buffer(new (std::nothrow) uint8_t[size_t(size ? size : 1)]);
}

bool scan_top_level(LogSink log, FILE* in, const char* inFileName, TopLevelLayout& layout) {
    boxes::TopLevel top;
    // An atom of another type ends the scan: what follows it is not looked at.
    if (!boxes::read_top_level(in, top, [](const boxes::FileBox& atom) { return is_movie_atom(atom.type); })) {
        log_to(log, LOG_ERROR, "QelFFmpegWriter: seek error, file <%s>", inFileName);
        return false;
    }
    layout.fileSize = int64_t(top.fileSize);
    std::vector<boxes::FileBox> atoms = top.boxes;
    // A header cut off before its type ends the scan like the end of the file.
    const boxes::FileBox& misfit = top.misfit;
    if (top.end == boxes::TopLevel::End::DoesNotFit &&
        (misfit.fit != boxes::Fit::CutHeader || misfit.header == boxes::WIDE_HEADER_SIZE))
        atoms.push_back(misfit);
    for (const boxes::FileBox& atom : atoms) {
        take_as_last(atom, layout);
        if (atom.type == ATOM_FTYP) {
            bool taken = false;
            if (!read_ftyp(log, in, inFileName, atom, layout, taken)) return false;
            if (!taken) return true;
            continue;
        }
        // A 64-bit size cut off by the end of the file: nothing more to read.
        if (atom.fit == boxes::Fit::CutHeader) return true;
        if (!is_movie_atom(atom.type)) {
            log_to(log, LOG_WARNING,
                   "QelFFmpegWriter: encountered non-QT top-level atom (is this a QuickTime file?). File <%s>",
                   inFileName);
            return true;
        }
        // An atom shorter than its own header, running to or past the end of
        // the file, is the last one: nothing after it can be read as an atom.
        if (atom.fit != boxes::Fit::Whole || atom.toEnd) return true;
    }
    return true;
}

}  // namespace faststart
