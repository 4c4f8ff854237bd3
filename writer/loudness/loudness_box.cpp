#include "writer/loudness/loudness_box.h"

#include "boxes/box_writer.h"
#include "boxes/boxes.h"
#include "faststart/user_data.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

using boxes::fourcc;

// MPEG-D DRC's codes (ISO/IEC 23003-4): what was measured, how, how surely.
constexpr uint8_t PROGRAM_LOUDNESS = 1, MOMENTARY_MAX = 4, SHORT_TERM_MAX = 5, LOUDNESS_RANGE = 6;
constexpr uint8_t BS_1770_4 = 2;
constexpr uint8_t MEASURED = 3;
// An index larger than this is not read into memory to be rewritten.
constexpr uint64_t MAX_INDEX_BYTES = uint64_t(256) << 20;

uint8_t loudness_code(double lufs) { return uint8_t(std::clamp(std::lround((lufs + 57.75) * 4), 0L, 255L)); }

uint8_t range_code(double lu) {
    if (lu <= 32) return uint8_t(std::clamp(std::lround(lu * 4), 0L, 128L));
    if (lu <= 70) return uint8_t(std::clamp(std::lround((lu + 32) * 2), 129L, 204L));
    return uint8_t(std::clamp(std::lround(lu + 134), 205L, 255L));
}

// 0 says "not measured".
uint16_t peak_code(double level) {
    if (!std::isfinite(level)) return 0;
    return uint16_t(std::clamp(std::lround((20 - level) * 32), 1L, 4095L));
}

bool fail(std::string& error, const char* why) {
    error = why;
    return false;
}

}  // namespace

std::vector<uint8_t> track_loudness_box(const LoudnessFigures& f) {
    std::vector<uint8_t> body = {0, 0, 0, 0, 0, 0};  // version 0, flags; no downmix, no DRC set
    const uint32_t peaks = uint32_t(peak_code(f.samplePeak)) << 12 | peak_code(f.truePeak);
    body.push_back(uint8_t(peaks >> 16));
    body.push_back(uint8_t(peaks >> 8));
    body.push_back(uint8_t(peaks));
    body.push_back(uint8_t(BS_1770_4 << 4 | MEASURED));
    std::vector<std::pair<uint8_t, uint8_t>> measurements;
    if (std::isfinite(f.integrated)) measurements.push_back({PROGRAM_LOUDNESS, loudness_code(f.integrated)});
    measurements.push_back({LOUDNESS_RANGE, range_code(f.range)});
    if (std::isfinite(f.momentaryMax)) measurements.push_back({MOMENTARY_MAX, loudness_code(f.momentaryMax)});
    if (std::isfinite(f.shortTermMax)) measurements.push_back({SHORT_TERM_MAX, loudness_code(f.shortTermMax)});
    body.push_back(uint8_t(measurements.size()));
    for (const auto& [method, value] : measurements) {
        body.push_back(method);
        body.push_back(value);
        body.push_back(uint8_t(BS_1770_4 << 4 | MEASURED));
    }
    std::vector<uint8_t> box;
    boxes::append_box(box, fourcc("tlou"), body);
    return box;
}

std::vector<uint8_t> loudness_user_data(const LoudnessFigures& figures) {
    std::vector<uint8_t> box;
    boxes::append_box(box, fourcc("ludt"), track_loudness_box(figures));
    return box;
}

bool write_loudness_box(const std::string& path, const LoudnessFigures& figures, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return fail(error, std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    boxes::TopLevel top;
    if (!boxes::read_top_level(fd, top)) return fail(error, std::strerror(errno));
    if (top.end == boxes::TopLevel::End::ReadError) return fail(error, "the movie cannot be read");
    if (top.end != boxes::TopLevel::End::Filled) return fail(error, "the movie's boxes do not fit the file");
    if (top.boxes.empty() || top.boxes.back().type != fourcc("moov"))
        return fail(error, "the movie's index is not its last box");
    // Made free, it would run over the new index after it.
    if (top.boxes.back().toEnd) return fail(error, "the movie's index has no size of its own");
    const uint64_t fileSize = top.fileSize, moovAt = top.boxes.back().offset, moovSize = top.boxes.back().size;
    if (moovSize > MAX_INDEX_BYTES) return fail(error, "the movie's index is too large to rewrite");

    std::vector<uint8_t> moov(moovSize);
    if (::pread(fd, moov.data(), moov.size(), off_t(moovAt)) != ssize_t(moov.size()))
        return fail(error, "the movie's index cannot be read");
    if (!faststart::add_to_sound_track_user_data(moov, loudness_user_data(figures)))
        return fail(error, "the movie's index has no sound track to hold it");
    const std::vector<uint8_t>& index = moov;

    // The new index after the old, on the disk; then the old one made free.
    static const uint8_t FREE[4] = {'f', 'r', 'e', 'e'};
    if (::pwrite(fd, index.data(), index.size(), off_t(fileSize)) != ssize_t(index.size()) || ::fdatasync(fd) != 0 ||
        ::pwrite(fd, FREE, 4, off_t(moovAt + 4)) != 4 || ::fdatasync(fd) != 0) {
        const std::string why = std::strerror(errno);
        // As it was: the old index back as the last box.
        if (::pwrite(fd, "moov", 4, off_t(moovAt + 4)) == 4 && ::ftruncate(fd, off_t(fileSize)) == 0) ::fdatasync(fd);
        return fail(error, why.c_str());
    }
    return true;
}
