// Messages writers report. The log callback carries no context, so one list
// serves the whole test program.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

struct LoggedMessage {
    int32_t level;
    std::string text;
};

inline std::vector<LoggedMessage>& kept_messages() {
    static std::vector<LoggedMessage> kept;
    return kept;
}
inline void clear_messages() { kept_messages().clear(); }
// The sink to give a writer: FFWriter writer(keep_message).
inline void keep_message(int32_t level, const char* text) { kept_messages().push_back({level, text}); }

// A message that is exactly `text`, at `level`.
inline bool logged(const std::string& text, int32_t level) {
    const auto& m = kept_messages();
    return std::any_of(m.begin(), m.end(), [&](const LoggedMessage& x) { return x.level == level && x.text == text; });
}
// Messages containing `part`, at `level` (any level for -1).
inline int count_logged(const std::string& part, int32_t level = -1) {
    const auto& m = kept_messages();
    return int(std::count_if(m.begin(), m.end(), [&](const LoggedMessage& x) {
        return (level < 0 || x.level == level) && x.text.find(part) != std::string::npos;
    }));
}
inline std::vector<std::string> messages_at_least(int32_t level) {
    std::vector<std::string> texts;
    for (const LoggedMessage& x : kept_messages())
        if (x.level >= level) texts.push_back(x.text);
    return texts;
}
inline std::string last_message() { return kept_messages().empty() ? "" : kept_messages().back().text; }
