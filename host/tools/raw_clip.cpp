#include "raw_clip.h"

#include <fcntl.h>
#include <sys/mman.h>
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
    unmap();
    if (m_fd >= 0) ::close(m_fd);
}

void RawVideoClip::unmap() {
    if (m_mapped) ::munmap(m_mapped, m_mappedBytes);
    m_mapped = nullptr;
    m_mappedBytes = 0;
}

bool RawVideoClip::draw(int64_t frame, Picture& picture) {
    if (!ok() || picture.width() != m_width || picture.height() != m_height || picture.channels() != 4) return false;
    const size_t bytes = picture.sample_count() * sizeof(uint16_t);
    const off_t offset = off_t(frame % m_fileFrames) * off_t(bytes);
    // Mappings start on a page; the frame may not.
    const off_t lead = offset % off_t(sysconf(_SC_PAGESIZE));
    // The last frame goes first, so that two are never held at once; the
    // picture points at nothing until the next is shown, and nobody reads it
    // in between.
    unmap();
    void* mapped = ::mmap(nullptr, bytes + size_t(lead), PROT_READ, MAP_PRIVATE | MAP_POPULATE, m_fd, offset - lead);
    if (mapped == MAP_FAILED) {
        picture.show(nullptr);
        return false;
    }
    m_mapped = mapped;
    m_mappedBytes = bytes + size_t(lead);
    picture.show(reinterpret_cast<uint16_t*>(static_cast<char*>(mapped) + lead));
    return true;
}

}  // namespace qelhost
