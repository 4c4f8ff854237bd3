// The host's message window: every text the module sends through the Log
// suite, with its level, kept in order and optionally echoed to stderr.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qelhost {

struct LogLine {
    int level;
    std::string text;
};

class HostLog {
public:
    void add(int level, std::string text);

    const std::vector<LogLine>& lines() const { return m_lines; }
    void clear() { m_lines.clear(); }
    // Lines at a level, or at every level for -1.
    std::vector<std::string> texts(int level = -1) const;
    bool contains(std::string_view text) const;
    bool contains(int level, std::string_view text) const;
    size_t count(int level) const;

    // Echo each line to stderr as it arrives; `minimum_level` hides the chatty ones.
    bool echo = true;
    int minimum_level = 0;
    // Where echoed lines go instead of stderr (a progress display clears its
    // line first).
    std::function<void(int level, const std::string& text)> sink;
    // false: lines are echoed but not kept (a long render would pile them up).
    bool keep = true;

    static const char* level_name(int level);

private:
    std::vector<LogLine> m_lines;
};

}  // namespace qelhost
