// Streaming the media bytes from the input to the output unchanged.
#include "atoms.h"

#include <algorithm>
#include <sys/types.h>
#include <unistd.h>

namespace faststart {

namespace {

// The media is most of the file: copied inside the kernel it is not moved
// through our buffer twice. Advances `offset` and lowers `size` by what it
// copied; the caller copies the rest the portable way, which also names a
// read or write error precisely. False when the output's position is lost.
bool copy_in_kernel(FILE* in, int64_t& offset, uint64_t& size, FILE* out) {
#ifdef __linux__
    if (std::fflush(out) != 0) return true;
    off_t outOffset = ftello(out);
    off_t inOffset = offset;
    if (outOffset < 0) return true;
    const off_t outStart = outOffset;
    while (size > 0) {
        const ssize_t n = copy_file_range(fileno(in), &inOffset, fileno(out), &outOffset,
                                          size_t(std::min(size, COPY_BLOCK_MAX)), 0);
        if (n <= 0) break;
        size -= uint64_t(n);
    }
    offset = inOffset;
    // copy_file_range leaves the descriptor's position alone.
    return outOffset == outStart || fseeko(out, outOffset, SEEK_SET) == 0;
#else
    (void)in, (void)offset, (void)size, (void)out;
    return true;
#endif
}

}  // namespace

CopyResult copy_range(FILE* in, int64_t offset, uint64_t size, FILE* out, uint8_t* buffer, uint64_t bufferSize) {
    if (!copy_in_kernel(in, offset, size, out)) return CopyResult::WriteError;
    if (size == 0) return CopyResult::Ok;
    if (fseeko(in, offset, SEEK_SET) != 0) return CopyResult::SeekError;
    while (size > 0) {
        const size_t block = size_t(std::min(size, bufferSize));
        if (std::fread(buffer, 1, block, in) != block) return CopyResult::ReadError;
        if (std::fwrite(buffer, 1, block, out) != block) return CopyResult::WriteError;
        size -= block;
    }
    return CopyResult::Ok;
}

}  // namespace faststart
