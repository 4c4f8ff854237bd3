// Progress of a render: a bar redrawn in place on a terminal, a plain line
// every tenth of the way otherwise. Messages printed meanwhile keep the bar
// below them.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

class ProgressDisplay {
public:
    ProgressDisplay(int64_t total, bool terminal, std::FILE* out = stderr);

    void frame_done(int64_t done);
    void message(const std::string& line);
    // The last state, and the bar's line ended.
    void finish();
    double elapsed_seconds() const;

    // "1:05" or "1:02:05".
    static std::string clock_text(double seconds);

private:
    void draw();
    std::string status() const;

    int64_t m_total;
    int64_t m_done = 0;
    bool m_terminal;
    std::FILE* m_out;
    bool m_barShown = false;
    int m_lastTenth = 0;
    std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_lastDraw;
};
