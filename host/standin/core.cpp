// Stand-in for the host's core library.
#include "VelmoraCore.h"
#include "standin.h"

#include <cctype>
#include <cerrno>
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
