// The "Log" suite: entries 0 to 4 take a printf format for levels 0 to 4.
#include "host_log.h"
#include "standin_host.h"
#include "suite_tables.h"

#include <cstdarg>
#include <cstdio>

namespace qelhost {

void HostLog::add(int level, std::string text) {
    if (echo && level >= minimum_level) {
        if (sink)
            sink(level, text);
        else
            std::fprintf(stderr, "[%s] %s\n", level_name(level), text.c_str());
    }
    if (keep) m_lines.push_back({level, std::move(text)});
}

std::vector<std::string> HostLog::texts(int level) const {
    std::vector<std::string> result;
    for (const LogLine& line : m_lines)
        if (level < 0 || line.level == level) result.push_back(line.text);
    return result;
}

bool HostLog::contains(std::string_view text) const {
    for (const LogLine& line : m_lines)
        if (line.text == text) return true;
    return false;
}

bool HostLog::contains(int level, std::string_view text) const {
    for (const LogLine& line : m_lines)
        if (line.level == level && line.text == text) return true;
    return false;
}

size_t HostLog::count(int level) const {
    size_t n = 0;
    for (const LogLine& line : m_lines)
        if (line.level == level) ++n;
    return n;
}

const char* HostLog::level_name(int level) {
    static const char* const names[] = {"plain", "verbose", "info", "warning", "error"};
    return (level >= 0 && level <= 4) ? names[level] : "?";
}

namespace {

template <int Level>
void log_entry(const char* format, ...) {
    std::string text;
    if (format) {
        va_list args;
        va_start(args, format);
        va_list copy;
        va_copy(copy, args);
        const int n = std::vsnprintf(nullptr, 0, format, copy);
        va_end(copy);
        if (n > 0) {
            text.resize(size_t(n));
            std::vsnprintf(text.data(), size_t(n) + 1, format, args);
        }
        va_end(args);
    }
    if (StandinHost* host = active_host())
        host->log().add(Level, std::move(text));
    else
        std::fprintf(stderr, "[%s, no host active] %s\n", HostLog::level_name(Level), text.c_str());
}

}  // namespace

const FunctionTable& log_suite_table() {
    static const FunctionTable table = [] {
        FunctionTable t = trap_table(SUITE_LOG);
        t[0] = entry_pointer(&log_entry<0>);
        t[1] = entry_pointer(&log_entry<1>);
        t[2] = entry_pointer(&log_entry<2>);
        t[3] = entry_pointer(&log_entry<3>);
        t[4] = entry_pointer(&log_entry<4>);
        return t;
    }();
    return table;
}

}  // namespace qelhost
