#include "pending_output.h"

#include "VelmoraCore.h"
#include "base/disk_flush.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace faststart {

namespace {

// Every write is a whole atom or a copy block: the stream's own buffer would
// only split them and copy them once more.
void unbuffered(FILE* file) { std::setvbuf(file, nullptr, _IONBF, 0); }

std::string folder_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Gives the unnamed file `fd` the name `name`, replacing what is there: a
// link under a passing name, then a rename, which replaces in one step.
bool link_as(int fd, const std::string& name) {
    const std::string passing = name + ".faststart-" + std::to_string(getpid());
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, passing.c_str(), AT_SYMLINK_FOLLOW) == 0) break;
        // Left by a process of this number that died at this very step.
        if (errno != EEXIST || attempt > 0) return false;
        unlink(passing.c_str());
    }
    if (std::rename(passing.c_str(), name.c_str()) == 0) return true;
    unlink(passing.c_str());
    return false;
}

}  // namespace

PendingOutput::PendingOutput(const char* name) : m_name(name) {
    struct stat st;
    const bool special = ::stat(name, &st) == 0 && !S_ISREG(st.st_mode);
    if (!special) {
        const int fd = ::open(folder_of(m_name).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (fd >= 0) {
            m_file.reset(fdopen(fd, "wb"));
            if (!m_file) ::close(fd);
            m_unnamed = m_file != nullptr;
        }
    }
    // Filesystems without unnamed files get the file at its name.
    if (!m_file) {
        m_file.reset(vl_utf8_fopen(name, "wb"));
        m_regular = m_file && fstat(fileno(m_file.get()), &st) == 0 && S_ISREG(st.st_mode);
    }
    if (m_file) unbuffered(m_file.get());
}

PendingOutput::~PendingOutput() {
    if (!m_file) return;
    m_file.reset();
    remove();
}

// On the disk before it has a name, and the name flushed with its folder:
// after a power cut the name holds this movie or the earlier take, whole.
bool PendingOutput::commit() {
    FILE* file = m_file.release();
    const bool onDisk = m_unnamed || m_regular;  // a device is written as it is
    const bool durable = std::fflush(file) == 0 && (!onDisk || ::fdatasync(fileno(file)) == 0);
    const bool named = durable && (!m_unnamed || link_as(fileno(file), m_name));
    if (std::fclose(file) == 0 && named) {
        if (onDisk) flush_folder_of(m_name);
        return true;
    }
    if (named || m_regular) file_delete(m_name.c_str());
    return false;
}

void PendingOutput::remove() {
    if (m_regular) file_delete(m_name.c_str());
}

}  // namespace faststart
