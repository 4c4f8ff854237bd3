// Stand-in for the host's core library.
#include "VelmoraCore.h"
#include "standin.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <sys/stat.h>

namespace {
// (context, text) -> translation. The module keeps the pointers it gets for
// its lifetime, so a translation's text is never freed, even once removed.
struct Translations {
    std::map<std::pair<std::string, std::string>, const char*> table;
    std::set<std::string> texts;
};
Translations& translations() {
    static Translations all;
    return all;
}
// A file read by a host that dies halfway through it.
bool g_crashInCopy = false;
struct DyingReader {
    FILE* file;
    int64_t size;
    int64_t read = 0;
};

ssize_t dying_read(void* cookie, char* buffer, size_t size) {
    auto* reading = static_cast<DyingReader*>(cookie);
    const size_t got = std::fread(buffer, 1, size, reading->file);
    reading->read += int64_t(got);
    if (reading->size > 0 && reading->read * 2 >= reading->size) raise(SIGKILL);
    return ssize_t(got);
}

int dying_seek(void* cookie, off64_t* offset, int whence) {
    auto* reading = static_cast<DyingReader*>(cookie);
    if (fseeko(reading->file, *offset, whence) != 0) return -1;
    *offset = ftello(reading->file);
    return 0;
}

int dying_close(void* cookie) {
    auto* reading = static_cast<DyingReader*>(cookie);
    const int result = std::fclose(reading->file);
    delete reading;
    return result;
}
}  // namespace

extern "C" {

// Without a translation set by a test, every text is its own translation.
const char* vl_pgettext(const char* context, const char* text) {
    if (!text) return text;
    const auto& table = translations().table;
    auto it = table.find({context ? context : "", text});
    return it == table.end() ? text : it->second;
}

void standin_set_translation(const char* context, const char* text, const char* translation) {
    if (!text) return;
    Translations& all = translations();
    std::pair<std::string, std::string> key{context ? context : "", text};
    if (translation)
        all.table[key] = all.texts.insert(translation).first->c_str();
    else
        all.table.erase(key);
}

void standin_clear_translations(void) { translations().table.clear(); }

FILE* vl_utf8_fopen(const char* path, const char* mode) {
    if (!path || !mode) return nullptr;
    FILE* file = std::fopen(path, mode);
    if (!file || !g_crashInCopy || std::strcmp(mode, "rb") != 0) return file;
    struct stat st;
    auto* reading = new DyingReader{file, fstat(fileno(file), &st) == 0 ? int64_t(st.st_size) : 0};
    static const cookie_io_functions_t functions{dying_read, nullptr, dying_seek, dying_close};
    FILE* watched = fopencookie(reading, "rb", functions);
    if (!watched) dying_close(reading);
    return watched;
}

void standin_crash_in_copy(bool on) { g_crashInCopy = on; }

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
