#include "writer/movie_file/output_file.h"

#include "writer/movie_file/output_path.h"

#include "VelmoraCore.h"
#include "base/disk_flush.h"
#include "base/error_text.h"

extern "C" {
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Large enough that a picture of most encoders goes out in one write.
constexpr int IO_BUFFER_SIZE = 1 << 20;
// Unfinished names tried before giving up: clip_Unfinished.mov to ..-99.mov.
constexpr int MAX_ATTEMPTS = 99;
// A name that is taken is never written over.
constexpr int NEW_FILE = O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC;

}  // namespace

bool held_by_a_render(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno != ENOENT;  // unreadable: never ours to judge
    const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return held;
}

OutputFile::~OutputFile() { close(); }

bool OutputFile::create(const std::string& finalPath, LogSink log) {
    for (int attempt = 1; attempt <= MAX_ATTEMPTS; ++attempt) {
        const std::string name = unfinished_name(finalPath, attempt);
        const int fd = ::open(name.c_str(), NEW_FILE, 0666);
        if (fd >= 0) {
            // Without the lock another render, or the continuing of a dead
            // one, would take this file for a dead render's leftover.
            if (flock(fd, LOCK_EX | LOCK_NB) != 0)
                log_to(log, LOG_WARNING,
                       "QelFFmpegWriter: <%s> cannot be locked here (%s): while it is written, it looks like the "
                       "leftover of a render that died",
                       name.c_str(), std::strerror(errno));
            return attach(fd, name, true, true);
        }
        if (errno != EEXIST) {
            m_error = AVERROR(errno);
            return false;
        }
        if (!held_by_a_render(name))
            log_to(log, LOG_WARNING,
                   "QelFFmpegWriter: <%s> holds a render of <%s> that did not finish; it is kept as it is", name.c_str(),
                   finalPath.c_str());
    }
    m_error = AVERROR(EEXIST);
    return false;
}

bool OutputFile::openSpecial(const std::string& path, LogSink) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        m_error = AVERROR(errno);
        return false;
    }
    struct stat st;
    const bool stream = fstat(fd, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
    return attach(fd, path, !stream, false);
}

bool OutputFile::attach(int fd, const std::string& path, bool seekable, bool unfinished) {
    m_fd = fd;
    m_path = path;
    m_unfinished = unfinished;
    m_positioned = unfinished;
    m_position = m_size = 0;
    m_holdBefore = -1;
    m_held.clear();
    m_error = 0;
    auto* buffer = static_cast<unsigned char*>(av_malloc(IO_BUFFER_SIZE));
    if (buffer) m_io = avio_alloc_context(buffer, IO_BUFFER_SIZE, 1, this, nullptr, write_bytes, seek);
    if (!m_io) {
        av_free(buffer);
        m_error = AVERROR(ENOMEM);
        close();
        discard();
        return false;
    }
    m_io->seekable = seekable ? AVIO_SEEKABLE_NORMAL : 0;
    return true;
}

int OutputFile::write_at(int64_t position, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t written = m_positioned ? ::pwrite(m_fd, data, size, position) : ::write(m_fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return AVERROR(written < 0 ? errno : EIO);
        data += written;
        position += written;
        size -= size_t(written);
    }
    return 0;
}

int OutputFile::write_bytes(void* opaque, ffcompat::WrittenBytes data, int size) {
    auto* file = static_cast<OutputFile*>(opaque);
    const int64_t start = file->m_position;
    const int64_t end = start + size;
    // The part before the held mark waits in memory; the rest goes now.
    const int64_t heldEnd = file->m_holdBefore >= 0 ? std::min(end, file->m_holdBefore) : start;
    if (heldEnd > start) file->m_held.push_back({start, std::vector<uint8_t>(data, data + (heldEnd - start))});
    const int64_t from = std::max(start, heldEnd);
    int result = 0;
    if (end > from) result = file->write_at(from, data + (from - start), size_t(end - from));
    if (result < 0) {
        if (!file->m_error) file->m_error = result;
        return result;
    }
    file->m_position = end;
    file->m_size = std::max(file->m_size, end);
    return size;
}

int64_t OutputFile::seek(void* opaque, int64_t offset, int whence) {
    auto* file = static_cast<OutputFile*>(opaque);
    whence &= ~AVSEEK_FORCE;
    if (!file->m_positioned) {
        if (whence == AVSEEK_SIZE) return AVERROR(ENOSYS);
        const off_t at = lseek(file->m_fd, offset, whence);
        return at < 0 ? AVERROR(errno) : at;
    }
    int64_t target = 0;
    switch (whence) {
    case AVSEEK_SIZE:
        return file->m_size;
    case SEEK_SET:
        target = offset;
        break;
    case SEEK_CUR:
        target = file->m_position + offset;
        break;
    case SEEK_END:
        target = file->m_size + offset;
        break;
    default:
        return AVERROR(EINVAL);
    }
    if (target < 0) return AVERROR(EINVAL);
    file->m_position = target;
    return target;
}

bool OutputFile::read(int64_t position, void* data, size_t size) const {
    return m_fd >= 0 && m_positioned && ::pread(m_fd, data, size, position) == ssize_t(size);
}

bool OutputFile::patch(int64_t position, const void* data, size_t size) {
    if (m_fd < 0 || !m_positioned) return false;
    const int result = write_at(position, static_cast<const uint8_t*>(data), size);
    if (result < 0 && !m_error) m_error = result;
    return result == 0;
}

void OutputFile::holdWritesBefore(int64_t end) { m_holdBefore = end; }

void OutputFile::replaceHeldWrites(int64_t position, std::vector<uint8_t> bytes) {
    const int64_t end = position + int64_t(bytes.size());
    m_held.erase(std::remove_if(m_held.begin(), m_held.end(),
                                [&](const HeldWrite& held) {
                                    return held.position < end && held.position + int64_t(held.bytes.size()) > position;
                                }),
                 m_held.end());
    m_held.push_back({position, std::move(bytes)});
}

bool OutputFile::releaseHeldWrites() {
    m_holdBefore = -1;
    bool ok = true;
    for (const HeldWrite& held : m_held) ok = patch(held.position, held.bytes.data(), held.bytes.size()) && ok;
    m_held.clear();
    return ok;
}

bool OutputFile::sync() {
    if (m_fd < 0 || !m_positioned) return true;
    if (::fdatasync(m_fd) == 0) return true;
    if (!m_error) m_error = AVERROR(errno);
    return false;
}

int OutputFile::close() {
    if (m_io) {
        avio_flush(m_io);
        if (m_io->error < 0 && !m_error) m_error = m_io->error;
        av_freep(&m_io->buffer);
        avio_context_free(&m_io);
    }
    if (m_fd >= 0 && m_unfinished && !m_error) sync();
    if (m_fd >= 0) {
        if (::close(m_fd) != 0 && !m_error) m_error = AVERROR(errno);
        m_fd = -1;
    }
    m_held.clear();
    return m_error;
}

bool OutputFile::publish(const std::string& finalPath, LogSink log) {
    if (!m_unfinished) return true;
    if (std::rename(m_path.c_str(), finalPath.c_str()) != 0) {
        log_to(log, LOG_ERROR, "QelFFmpegWriter: could not rename <%s> to <%s>: %s; the movie is in <%s>",
               m_path.c_str(), finalPath.c_str(), std::strerror(errno), m_path.c_str());
        return false;
    }
    m_unfinished = false;
    m_path = finalPath;
    if (!flush_folder_of(finalPath))
        log_to(log, LOG_WARNING,
               "QelFFmpegWriter: the folder of <%s> could not be flushed: %s; a power cut now may lose its new name",
               finalPath.c_str(), std::strerror(errno));
    return true;
}

void OutputFile::discard() {
    if (!m_unfinished) return;
    close();
    file_delete(m_path.c_str());
    m_unfinished = false;
}
