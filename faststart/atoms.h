// The steps of the faststart rewrite: the top-level scan, the chunk-offset
// patch and the block copy.
#pragma once

#include "base/log.h"
#include "boxes/boxes.h"

#include <cstdint>
#include <cstdio>
#include <memory>


namespace faststart {

using boxes::Box;
using boxes::find_box;
using boxes::fourcc;
using boxes::read_be32;
using boxes::read_be64;
using boxes::read_boxes;
using boxes::write_be32;
using boxes::write_be64;

constexpr uint32_t ATOM_FTYP = fourcc("ftyp");
constexpr uint32_t ATOM_MOOV = fourcc("moov");
constexpr uint32_t ATOM_CMOV = fourcc("cmov");
constexpr uint32_t ATOM_STCO = fourcc("stco");
constexpr uint32_t ATOM_CO64 = fourcc("co64");

// The media goes through one buffer in blocks. A block that stays in the CPU
// caches copies at the speed of cp; blocks of several MiB and more (32 MiB
// was measured) fall out of them and the copy gets several times slower.
constexpr uint64_t COPY_BLOCK_SIZE = 1 << 20;

using Buffer = std::unique_ptr<uint8_t[]>;

// Null when the heap refuses; a zero size still gives a valid pointer.
Buffer allocate(uint64_t size);

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// What the top-level scan learnt about the file.
struct TopLevelLayout {
    int64_t fileSize = 0;
    Buffer ftyp;            // the last "ftyp" atom, header included
    uint64_t ftypSize = 0;  // 0 when the file has none
    int64_t ftypStart = 0;
    int64_t ftypEnd = 0;
    uint32_t lastType = 0;  // the last atom whose header was read; 0 when none
    uint64_t lastSize = 0;
    int64_t lastStart = 0;
};

// Walks the top-level atoms of `in` from offset 0. False only after an error
// was logged; an unknown top-level type ends the scan with a warning and true.
bool scan_top_level(LogSink log, FILE* in, const char* inFileName, TopLevelLayout& layout);

// Adds `moovSize` to every entry of every "stco"/"co64" table inside the
// moov atom. False (after "bad atom size!") when a table does not fit or a
// patched entry would not fit its field; the buffer is then partly patched.
bool patch_chunk_offsets(LogSink log, uint8_t* moov, uint64_t moovSize);

enum class CopyResult { Ok, SeekError, ReadError, WriteError };

// Copies `size` bytes from `offset` of `in` to the current end of `out`, in
// blocks of at most `bufferSize` bytes.
CopyResult copy_range(FILE* in, int64_t offset, uint64_t size, FILE* out, uint8_t* buffer, uint64_t bufferSize);

}  // namespace faststart
