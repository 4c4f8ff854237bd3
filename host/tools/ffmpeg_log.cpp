#include "ffmpeg_log.h"

extern "C" {
#include <libavutil/log.h>
}

#include <cstdio>
#include <mutex>

namespace qelhost {

namespace {

// Encoders log from their own threads: the line in the making and the
// level seen are shared under a lock.
std::mutex g_lock;
FfmpegLog* g_active = nullptr;
int g_printPrefix = 1;
std::string g_pending;
std::optional<int> g_changed;

}  // namespace

FfmpegLog::FfmpegLog(int level, Sink sink) : m_level(level), m_sink(std::move(sink)) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_active = this;
    g_printPrefix = 1;
    g_pending.clear();
    g_changed.reset();
    av_log_set_level(level);
    av_log_set_callback(&FfmpegLog::callback);
}

FfmpegLog::~FfmpegLog() {
    av_log_set_callback(&av_log_default_callback);
    std::lock_guard<std::mutex> guard(g_lock);
    g_active = nullptr;
}

std::optional<int> FfmpegLog::changed_level() const {
    std::lock_guard<std::mutex> guard(g_lock);
    if (!g_changed && av_log_get_level() != m_level) return av_log_get_level();
    return g_changed;
}

bool FfmpegLog::report_changed_level() const {
    const std::optional<int> changed = changed_level();
    if (changed)
        std::fprintf(stderr, "qelhost: the module set FFmpeg's log level to %d; the host's level (%d) is the host's\n",
                     *changed, m_level);
    return changed.has_value();
}

void FfmpegLog::callback(void* object, int level, const char* format, va_list args) {
    std::string finished;
    Sink sink;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (!g_active) return;
        if (av_log_get_level() != g_active->m_level && !g_changed) g_changed = av_log_get_level();
        if (level > g_active->m_level) return;
        char line[1024];
        av_log_format_line2(object, level, format, args, line, sizeof line, &g_printPrefix);
        g_pending += line;
        if (g_pending.empty() || g_pending.back() != '\n') return;
        g_pending.pop_back();
        finished.swap(g_pending);
        sink = g_active->m_sink;
    }
    sink(finished);
}

}  // namespace qelhost
