// qeljoin OUTPUT: the segments a farm rendered for OUTPUT (in OUTPUT.segments/)
// joined into the movie.
#include "join/join.h"

extern "C" {
#include <libavutil/log.h>
}

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

namespace {

bool g_verbose = false;

void print_message(int32_t level, const char* text) {
    if (level < LOG_INFO && !g_verbose) return;
    std::fprintf(stderr, "%s\n", text);
}

bool parse_range(const std::string& text, join::FrameRange& range) {
    long long first = 0, last = 0;
    char rest = 0;
    if (std::sscanf(text.c_str(), "%lld-%lld%c", &first, &last, &rest) != 2 || first < 0 || last < first) return false;
    range = {first, last};
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"qeljoin - joins the segments a farm rendered into the movie"};
    join::JoinRequest request;
    int64_t frames = 0;
    std::string range;
    app.add_option("OUTPUT", request.output, "The output every farm task was given")->required();
    auto* framesOption = app.add_option("--frames", frames, "The segments must hold frames 0 to N-1")
                             ->check(CLI::Range(int64_t(1), INT64_MAX));
    app.add_option("--range", range, "The segments must hold frames FIRST-LAST")->excludes(framesOption);
    app.add_flag("--keep-segments", request.keepSegments, "Keep the segments after the join");
    app.add_flag("-v,--verbose", g_verbose, "Verbose messages and FFmpeg's notes");
    CLI11_PARSE(app, argc, argv);
    if (frames > 0) request.expected = join::FrameRange{0, frames - 1};
    if (!range.empty()) {
        join::FrameRange wanted;
        if (!parse_range(range, wanted)) {
            std::fprintf(stderr, "qeljoin: --range takes FIRST-LAST, frames counted from 0: %s\n", range.c_str());
            return 2;
        }
        request.expected = wanted;
    }
    av_log_set_level(g_verbose ? AV_LOG_INFO : AV_LOG_ERROR);
    request.log = print_message;
    return join::join_segments(request) ? 0 : 1;
}
