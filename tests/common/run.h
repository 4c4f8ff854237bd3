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

// ffprobe's entries of the file's streams, one line each (csv, no section
// names), with ffprobe's own exit status. ffprobe also lists a file's programs
// (mpegts) and, from FFmpeg 8 on, its stream groups (a mov timecode track with
// its video) with their streams again, each a block from a "program" or
// "stream_group" line to an empty one; those blocks are left out.
inline CommandResult probe_streams(const std::string& arguments) {
    CommandResult probed = run_command("ffprobe -v error -of csv=p=1 " + arguments);
    CommandResult result{probed.status, {}};
    const std::string section = "stream,";
    bool inGroup = false;
    for (size_t start = 0; start < probed.out.size();) {
        size_t end = probed.out.find('\n', start);
        end = end == std::string::npos ? probed.out.size() : end + 1;
        const std::string line = probed.out.substr(start, end - start);
        start = end;
        if (line.compare(0, 12, "stream_group") == 0 || line.compare(0, 8, "program,") == 0) inGroup = true;
        else if (inGroup) inGroup = line != "\n";
        else if (line.compare(0, section.size(), section) == 0) result.out += line.substr(section.size());
        else result.out += line;  // errors stay visible
    }
    return result;
}
