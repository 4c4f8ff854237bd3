// Streaming the media bytes from the input to the output unchanged.
#include "atoms.h"

#include <algorithm>
#include <sys/types.h>

namespace faststart {

CopyResult copy_range(FILE* in, int64_t offset, uint64_t size, FILE* out, uint8_t* buffer, uint64_t bufferSize) {
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
