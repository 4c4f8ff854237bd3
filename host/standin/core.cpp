// Stand-in for the host's core library.
#include "VelmoraCore.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>

extern "C" {

// No translations ship with the stand-in: every text is its own translation.
const char* vl_pgettext(const char*, const char* text) { return text; }

FILE* vl_utf8_fopen(const char* path, const char* mode) {
    if (!path || !mode) return nullptr;
    return std::fopen(path, mode);
}

int file_create_directory(const char* path, bool recursive) {
    if (!path || !*path) return -1;
    std::string dir(path);
    for (char& c : dir)
        if (c == '\\') c = '/';
    if (!recursive) return (mkdir(dir.c_str(), 0777) == 0 || errno == EEXIST) ? 0 : -1;
    for (size_t i = 1; i <= dir.size(); ++i) {
        if (i < dir.size() && dir[i] != '/') continue;
        std::string part = dir.substr(0, i);
        if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return -1;
    }
    return 0;
}

int file_delete(const char* path) { return path ? std::remove(path) : -1; }

const char* istrstr(const char* text, const char* pattern) {
    if (!text || !pattern) return nullptr;
    const size_t n = std::strlen(pattern);
    for (const char* p = text; *p; ++p) {
        size_t i = 0;
        while (i < n && p[i] &&
               std::tolower(static_cast<unsigned char>(p[i])) == std::tolower(static_cast<unsigned char>(pattern[i])))
            ++i;
        if (i == n) return p;
    }
    return n == 0 ? text : nullptr;
}
}
