// A shell command's exit status and output, as a person at a terminal sees them.
#pragma once

#include <cstdio>
#include <string>
#include <sys/wait.h>

struct CommandResult {
    int status = -1;  // the exit status; -1 when it did not exit normally
    std::string out;  // stdout, and stderr unless left out
};

inline CommandResult run_command(const std::string& command, bool withErrors = true) {
    CommandResult result;
    FILE* pipe = popen((command + (withErrors ? " 2>&1" : " 2>/dev/null")).c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}
