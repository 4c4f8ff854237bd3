// FFmpeg's log as a host that uses FFmpeg itself keeps it: its own callback
// and its own level, which a plug-in in the same process must leave as they
// are. Lines above the level are not shown; a level the host did not set,
// seen while FFmpeg logs or at the end, is a breach of the host's trust.
#pragma once

#include <cstdarg>
#include <functional>
#include <optional>
#include <string>

namespace qelhost {

class FfmpegLog {
public:
    using Sink = std::function<void(const std::string& line)>;

    // Sets FFmpeg's level and callback until destroyed; one at a time.
    FfmpegLog(int level, Sink sink);
    ~FfmpegLog();
    FfmpegLog(const FfmpegLog&) = delete;
    FfmpegLog& operator=(const FfmpegLog&) = delete;

    // The first level FFmpeg had that was not the one set here.
    std::optional<int> changed_level() const;
    // Says so on stderr when the level was changed; true then.
    bool report_changed_level() const;

private:
    static void callback(void* object, int level, const char* format, va_list args);

    int m_level;
    Sink m_sink;
};

}  // namespace qelhost
