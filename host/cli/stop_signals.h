// Ctrl-C, SIGTERM and SIGHUP during a render: the render stops after the
// frame in hand and its output is finalised; a second one ends the process.
#pragma once

#include <csignal>
#include <iterator>

class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
    // The signal caught since, or 0.
    static int caught();

private:
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction m_previous[std::size(kSignals)] {};
};
