// Faststart: rewrites a finished movie so that its moov atom stands right
// after ftyp, in front of the media, so that playback can start before the
// whole file has arrived.
#include "faststart.h"

#include "atoms.h"
#include "pending_output.h"
#include "user_data.h"

#include "VelmoraCore.h"
#include "base/log.h"

#include <algorithm>
#include <cstring>
#include <sys/stat.h>

using namespace faststart;

namespace {

// Every read and write of the conversion is either a whole atom or a copy
// block: the stream's own buffer would only split them and copy them once more.
void unbuffered(FILE* file) { std::setvbuf(file, nullptr, _IONBF, 0); }

// Another spelling of the same path ("./a.mov", a link) would be truncated
// by the create before its media is copied: the movie would be lost.
bool same_file(FILE* in, const char* outFileName) {
    File out(vl_utf8_fopen(outFileName, "rb"));
    if (!out) return false;
    struct stat a, b;
    return fstat(fileno(in), &a) == 0 && fstat(fileno(out.get()), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

}  // namespace

bool faststart::convert(const char* inFileName, const char* outFileName, LogSink log,
                        const std::vector<uint8_t>* soundTrackBox) {
    if (!inFileName) inFileName = "";
    if (!outFileName) outFileName = "";
    if (std::strcmp(inFileName, outFileName) == 0) {
        log_to(log, LOG_ERROR, "QelFFmpegWriter: faststart-conversion: input and output files need to be different!");
        return false;
    }
    File in(vl_utf8_fopen(inFileName, "rb"));
    if (!in) {
        log_to(log, LOG_ERROR, "QelFFmpegWriter: faststart-conversion: failed to open file <%s>", inFileName);
        return false;
    }
    unbuffered(in.get());
    if (same_file(in.get(), outFileName)) {
        log_to(log, LOG_ERROR, "QelFFmpegWriter: faststart-conversion: input and output files need to be different!");
        return false;
    }

    TopLevelLayout layout;
    if (!scan_top_level(log, in.get(), inFileName, layout)) return false;
    // This also refuses files that already have moov in front.
    if (layout.lastType != ATOM_MOOV) {
        log_to(log, LOG_WARNING, "QelFFmpegWriter: last atom in file was not a moov atom. File <%s>", inFileName);
        return false;
    }

    uint64_t moovSize = layout.lastSize;
    if (moovSize > uint64_t(layout.fileSize) || fseeko(in.get(), layout.fileSize - int64_t(moovSize), SEEK_SET) != 0) {
        log_to(log, LOG_ERROR, "QelFFmpegWriter: seek error, file <%s>", inFileName);
        return false;
    }
    const int64_t moovOffset = layout.fileSize - int64_t(moovSize);
    // A moov that does not end exactly at the end of the file (cut short, or
    // trailing bytes) would be read from the wrong place.
    if (moovOffset != layout.lastStart) {
        log_to(log, LOG_ERROR, "QelFFmpegWriter: faststart conversion: bad atom size!");
        return false;
    }
    Buffer moov = allocate(moovSize);
    if (!moov) {
        log_to(log, LOG_ERROR, "QelFFmpegWriter: faststart-conversion: memory allocation error");
        return false;
    }
    if (std::fread(moov.get(), 1, size_t(moovSize), in.get()) != moovSize) {
        log_to(log, LOG_ERROR, "QelFFmpegWriter: error reading file <%s>", inFileName);
        return false;
    }
    if (moovSize >= 16 && read_be32(moov.get() + 12) == ATOM_CMOV) {
        log_to(log, LOG_ERROR, "QelFFmpegWriter: faststart conversion does not support compressed moov atoms!");
        return false;
    }

    if (soundTrackBox) {
        std::vector<uint8_t> grown(moov.get(), moov.get() + moovSize);
        Buffer added;
        if (add_to_sound_track_user_data(grown, *soundTrackBox)) added = allocate(grown.size());
        if (!added) {
            log_to(log, LOG_ERROR, "QelFFmpegWriter: faststart-conversion: the index of <%s> takes no box for its sound",
                   inFileName);
            return false;
        }
        std::copy(grown.begin(), grown.end(), added.get());
        moov = std::move(added);
        moovSize = grown.size();
    }

    // Every refusal happens here, before the output exists.
    if (!patch_chunk_offsets(log, moov.get(), moovSize)) return false;

    // The media keeps its order: what stood before ftyp (normally nothing),
    // then everything between ftyp and moov. Every byte after ftyp moves by
    // exactly the moov size, which is what the patch added.
    const uint64_t headSize = uint64_t(layout.ftypSize ? layout.ftypStart : 0);
    const uint64_t tailSize = uint64_t(moovOffset - layout.ftypEnd);
    const uint64_t copySize = headSize + tailSize;

    PendingOutput out(outFileName);
    if (!out.get()) {
        log_to(log, LOG_ERROR, "QelFFmpegWriter: faststart-conversion: failed to create file <%s>", outFileName);
        return false;
    }
    if ((layout.ftypSize && std::fwrite(layout.ftyp.get(), 1, size_t(layout.ftypSize), out.get()) != layout.ftypSize) ||
        std::fwrite(moov.get(), 1, size_t(moovSize), out.get()) != moovSize) {
        log_to(log, LOG_ERROR, "QelFFmpegWriter: error writing to file <%s>", outFileName);
        return false;
    }
    moov.reset();
    layout.ftyp.reset();

    const uint64_t bufferSize = std::min(copySize, COPY_BLOCK_SIZE);
    Buffer buffer = allocate(bufferSize);
    if (!buffer) {
        log_to(log, LOG_ERROR, "QelFFmpegWriter: faststart-conversion: memory allocation error");
        return false;
    }
    CopyResult result = copy_range(in.get(), 0, headSize, out.get(), buffer.get(), bufferSize);
    if (result == CopyResult::Ok)
        result = copy_range(in.get(), layout.ftypEnd, tailSize, out.get(), buffer.get(), bufferSize);
    switch (result) {
    case CopyResult::Ok:
        break;
    case CopyResult::SeekError:
        log_to(log, LOG_ERROR, "QelFFmpegWriter: seek error, file <%s>", inFileName);
        return false;
    case CopyResult::ReadError:
        log_to(log, LOG_ERROR, "QelFFmpegWriter: error reading file <%s>", inFileName);
        return false;
    case CopyResult::WriteError:
        log_to(log, LOG_ERROR, "QelFFmpegWriter: error writing to file <%s>", outFileName);
        return false;
    }
    if (!out.commit()) {
        log_to(log, LOG_ERROR, "QelFFmpegWriter: error writing to file <%s>", outFileName);
        return false;
    }
    return true;
}
