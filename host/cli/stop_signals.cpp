// Stopping a render on a signal: the handlers and what they leave for the render loop.
#include "stop_signals.h"

#include <unistd.h>

namespace {

volatile std::sig_atomic_t g_stopSignal = 0;

extern "C" void on_stop_signal(int number) {
    if (g_stopSignal != 0) {
        std::signal(number, SIG_DFL);
        std::raise(number);
        return;
    }
    g_stopSignal = number;
    static const char notice[] = "\nqelhost: interrupted; finishing the output (once more to quit at once)\n";
    // Nothing to do if the terminal is gone (SIGHUP): the render goes on.
    [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, notice, sizeof notice - 1);
}

}  // namespace

StopSignals::StopSignals() {
    g_stopSignal = 0;
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &action, &m_previous[i]);
}

StopSignals::~StopSignals() {
    for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &m_previous[i], nullptr);
}

int StopSignals::caught() { return g_stopSignal; }
