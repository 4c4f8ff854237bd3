#include "progress.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr int BAR_WIDTH = 30;
constexpr auto REDRAW_INTERVAL = std::chrono::milliseconds(100);
}  // namespace

ProgressDisplay::ProgressDisplay(int64_t total, bool terminal, std::FILE* out)
    : m_total(std::max<int64_t>(total, 0)),
      m_terminal(terminal),
      m_out(out),
      m_start(std::chrono::steady_clock::now()) {}

double ProgressDisplay::elapsed_seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
}

std::string ProgressDisplay::clock_text(double seconds) {
    const int64_t s = std::max<int64_t>(0, std::llround(seconds));
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(s / 3600),
                      static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60));
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(s / 60), static_cast<long long>(s % 60));
    return text;
}

std::string ProgressDisplay::status() const {
    const double seconds = elapsed_seconds();
    const double fps = seconds > 0 ? double(m_done) / seconds : 0;
    char text[128];
    int n = std::snprintf(text, sizeof text, "%lld/%lld frames", static_cast<long long>(m_done),
                          static_cast<long long>(m_total));
    if (m_done > 0 && fps > 0) {
        n += std::snprintf(text + n, sizeof text - size_t(n), "  %.1f fps", fps);
        if (m_done < m_total)
            std::snprintf(text + n, sizeof text - size_t(n), "  %s left",
                          clock_text(double(m_total - m_done) / fps).c_str());
    }
    return text;
}

void ProgressDisplay::draw() {
    const int filled = m_total > 0 ? int(m_done * BAR_WIDTH / m_total) : BAR_WIDTH;
    const int percent = m_total > 0 ? int(m_done * 100 / m_total) : 100;
    std::string bar(size_t(filled), '#');
    bar.append(size_t(BAR_WIDTH - filled), '-');
    std::fprintf(m_out, "\r\033[K[%s] %3d%%  %s", bar.c_str(), percent, status().c_str());
    std::fflush(m_out);
    m_barShown = true;
    m_lastDraw = std::chrono::steady_clock::now();
}

void ProgressDisplay::frame_done(int64_t done) {
    m_done = done;
    if (m_terminal) {
        if (!m_barShown || done >= m_total || std::chrono::steady_clock::now() - m_lastDraw >= REDRAW_INTERVAL) draw();
        return;
    }
    const int tenth = m_total > 0 ? int(done * 10 / m_total) : 10;
    if (tenth > m_lastTenth) {
        m_lastTenth = tenth;
        std::fprintf(m_out, "%3d%%  %s\n", tenth * 10, status().c_str());
        std::fflush(m_out);
    }
}

void ProgressDisplay::message(const std::string& line) {
    if (m_terminal && m_barShown) std::fprintf(m_out, "\r\033[K");
    std::fprintf(m_out, "%s\n", line.c_str());
    if (m_terminal && m_barShown) draw();
    std::fflush(m_out);
}

void ProgressDisplay::finish() {
    if (m_terminal && m_barShown) {
        draw();
        std::fprintf(m_out, "\n");
        m_barShown = false;
    }
    std::fflush(m_out);
}
