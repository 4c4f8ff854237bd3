#include "disk_flush.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

bool flush_folder_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool flushed = ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    errno = error;
    return flushed;
}
