// The walk over the top-level boxes of a file, by their headers alone.
#include "boxes.h"

#include "header.h"

#include <algorithm>
#include <cstring>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace boxes {

namespace {

// Reads `size` bytes at `offset`, all of them or false.
using ReadAt = std::function<bool(uint64_t offset, uint8_t* into, size_t size)>;

void walk(const ReadAt& read, const KeepWalking& more, TopLevel& top) {
    top.boxes.clear();
    top.misfit = FileBox();
    for (uint64_t at = 0; at < top.fileSize;) {
        const uint64_t left = top.fileSize - at;
        uint8_t header[WIDE_HEADER_SIZE];
        // The 64-bit size is read only where the header says there is one.
        uint64_t got = std::min(left, HEADER_SIZE);
        if (!read(at, header, size_t(got))) {
            top.end = TopLevel::End::ReadError;
            return;
        }
        if (got == HEADER_SIZE && read_be32(header) == 1 && left > HEADER_SIZE) {
            const uint64_t wide = std::min(left, WIDE_HEADER_SIZE) - HEADER_SIZE;
            if (!read(at + HEADER_SIZE, header + HEADER_SIZE, size_t(wide))) {
                top.end = TopLevel::End::ReadError;
                return;
            }
            got += wide;
        }
        FileBox box;
        box.offset = at;
        if (read_header(header, got, left, box) != Fit::Whole) {
            top.misfit = box;
            top.end = TopLevel::End::DoesNotFit;
            return;
        }
        top.boxes.push_back(box);
        at += box.size;
        if (more && !more(box) && at < top.fileSize) {
            top.end = TopLevel::End::Stopped;
            return;
        }
    }
    top.end = TopLevel::End::Filled;
}

}  // namespace

bool read_top_level(FILE* file, TopLevel& top, const KeepWalking& more) {
    const off_t size = fseeko(file, 0, SEEK_END) == 0 ? ftello(file) : -1;
    if (size < 0) return false;
    top.fileSize = uint64_t(size);
    walk(
        [file](uint64_t offset, uint8_t* into, size_t count) {
            return fseeko(file, off_t(offset), SEEK_SET) == 0 && std::fread(into, 1, count, file) == count;
        },
        more, top);
    return true;
}

bool read_top_level(int fd, TopLevel& top, const KeepWalking& more) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || st.st_size < 0) return false;
    top.fileSize = uint64_t(st.st_size);
    walk([fd](uint64_t offset, uint8_t* into,
              size_t count) { return ::pread(fd, into, count, off_t(offset)) == ssize_t(count); },
         more, top);
    return true;
}

TopLevel read_top_level(const uint8_t* bytes, size_t size) {
    TopLevel top;
    top.fileSize = size;
    walk(
        [bytes](uint64_t offset, uint8_t* into, size_t count) {
            std::memcpy(into, bytes + offset, count);
            return true;
        },
        {}, top);
    return top;
}

}  // namespace boxes
