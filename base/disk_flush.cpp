#include "disk_flush.h"

#include <cerrno>
#include <cstdio>
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

bool write_file_whole(const std::string& path, const std::string& text) {
    const std::string passing = path + ".part";
    FILE* file = std::fopen(passing.c_str(), "wb");
    bool written = file && std::fwrite(text.data(), 1, text.size(), file) == text.size() && std::fflush(file) == 0 &&
                   ::fdatasync(fileno(file)) == 0;
    int error = errno;
    if (file && std::fclose(file) != 0 && written) written = false, error = errno;
    if (written && std::rename(passing.c_str(), path.c_str()) == 0) return true;
    if (written) error = errno;
    std::remove(passing.c_str());
    errno = error;
    return false;
}
