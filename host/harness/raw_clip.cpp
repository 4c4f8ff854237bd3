#include "raw_clip.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qelhost {

RawVideoClip::RawVideoClip(const std::string& path, int32_t width, int32_t height, double fps, int64_t frames)
    : m_width(width), m_height(height), m_fps(fps), m_frames(frames) {
    m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    const int64_t frameBytes = int64_t(width) * height * 4 * 2;
    if (m_fd >= 0 && frameBytes > 0 && fstat(m_fd, &info) == 0) m_fileFrames = info.st_size / frameBytes;
    if (m_frames <= 0) m_frames = m_fileFrames;
}

RawVideoClip::~RawVideoClip() {
    if (m_fd >= 0) ::close(m_fd);
}

bool RawVideoClip::draw(int64_t frame, Picture& picture) {
    if (!ok() || picture.width() != m_width || picture.height() != m_height || picture.channels() != 4) return false;
    const size_t bytes = picture.sample_count() * sizeof(uint16_t);
    const off_t offset = off_t(frame % m_fileFrames) * off_t(bytes);
    auto* target = reinterpret_cast<char*>(picture.samples());
    size_t done = 0;
    while (done < bytes) {
        const ssize_t n = ::pread(m_fd, target + done, bytes - done, offset + off_t(done));
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

}  // namespace qelhost
