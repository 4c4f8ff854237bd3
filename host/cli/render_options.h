// What qelhost render is asked to do, and how it refuses what it cannot.
#pragma once

#include "host/harness/module.h"

#include <cstdint>
#include <string>
#include <vector>

struct RenderCommandOptions {
    std::string module = qelhost::default_module_path();
    std::string input;
    std::string raw;
    std::vector<std::string> sets;
    int64_t frames = -1;
    std::string size;
    double fps = 0;
    double audio_rate = 0;
    int audio_bits = 0;
    int audio_channels = -1;
    std::vector<double> cuts;
    int64_t split = 0;
    std::string range;  // FIRST-LAST of the whole clip, as a farm task renders it
    std::string timecode;
    std::string field_order = "progressive";
    std::string output;
    bool verbose = false;
    bool indirect = false;
    int64_t crash_after = 0;
    bool crash_in_finish = false;
    bool continue_render = false;  // after a crash: the leftover's frames kept, the rest rendered and joined
};

// Ends the command with its message on stderr and the status (2: bad arguments).
[[noreturn]] void fail(const std::string& message, int status = 2);
