// What asking FFmpeg what cannot work here costs a panel: INIT, container
// changes and raw video's pixel formats timed in a fresh process (the module probes) and again by a second
// instance of the same process (every answer kept). The difference is the
// probing. Prints the median of several processes' figures.
//   build/panel_probe_bench [rounds]
#include "host/harness/module.h"
#include "host/harness/standin_host.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Each step a choice: containers, and raw video, whose pixel formats are
// tried against the container.
struct Step {
    const char* control;
    const char* item;
};
constexpr Step STEPS[] = {{"", "INIT"},
                          {"klavformat", "QuickTime / MOV"},
                          {"klavvideocodec", "raw video"},
                          {"klavformat", "AVI (Audio Video Interleaved)"},
                          {"klavvideocodec", "raw video"},
                          {"klavformat", "MXF (Material eXchange Format)"},
                          {"klavformat", "WebM"},
                          {"klavformat", "Matroska"}};
constexpr int STEP_COUNT = int(sizeof STEPS / sizeof *STEPS);

double milliseconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// One instance through INIT, RESTORE and each choice; the time of each step.
std::vector<double> run_panel(const std::shared_ptr<qelhost::Module>& module) {
    qelhost::StandinHost host(module);
    std::vector<double> times;
    auto start = std::chrono::steady_clock::now();
    if (!host.init() || !host.restore()) std::exit(1);
    times.push_back(milliseconds_since(start));
    for (int i = 1; i < STEP_COUNT; ++i) {
        start = std::chrono::steady_clock::now();
        if (!host.choose(STEPS[i].control, STEPS[i].item)) std::exit(1);
        times.push_back(milliseconds_since(start));
    }
    return times;
}

// A child process: first and second instance, written to the pipe.
void child(int out) {
    const auto module = qelhost::Module::load();
    std::vector<double> times = run_panel(module);
    const std::vector<double> again = run_panel(module);
    times.insert(times.end(), again.begin(), again.end());
    if (write(out, times.data(), times.size() * sizeof(double)) < 0) std::_Exit(1);
    std::_Exit(0);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
    std::vector<std::vector<double>> first(STEP_COUNT), again(STEP_COUNT);
    for (int round = 0; round < rounds; ++round) {
        int pipeEnds[2];
        if (pipe(pipeEnds) != 0) return 1;
        const pid_t pid = fork();
        if (pid == 0) {
            close(pipeEnds[0]);
            child(pipeEnds[1]);
        }
        close(pipeEnds[1]);
        std::vector<double> times(2 * STEP_COUNT);
        const ssize_t got = read(pipeEnds[0], times.data(), times.size() * sizeof(double));
        close(pipeEnds[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        if (got != ssize_t(times.size() * sizeof(double)) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "round %d failed\n", round);
            return 1;
        }
        for (int i = 0; i < STEP_COUNT; ++i) {
            first[i].push_back(times[i]);
            again[i].push_back(times[STEP_COUNT + i]);
        }
    }
    std::printf("median of %d processes, ms\n%-34s %10s %10s %10s\n", rounds, "step", "probing", "kept", "probes");
    double total = 0;
    for (int i = 0; i < STEP_COUNT; ++i) {
        const double a = median(first[i]), b = median(again[i]);
        total += a - b;
        std::printf("%-34s %10.2f %10.2f %10.2f\n", i == 0 ? "INIT + RESTORE" : (std::string("to ") + STEPS[i].item).c_str(), a, b,
                    a - b);
    }
    std::printf("%-34s %43.2f  (goal: under 50 ms)\n", "probing in all", total);
    return 0;
}
