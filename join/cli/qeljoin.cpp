// qeljoin OUTPUT: the segments a farm rendered for OUTPUT (in OUTPUT.segments/)
// joined into the movie; or, after a render that died, where to continue it
// and the leftover joined with the rest.
#include "join/join.h"
#include "join/leftover.h"

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
    bool resumePoint = false, continued = false;
    app.add_flag("--resume-point", resumePoint,
                 "Print the first frame a dead render's leftover (OUTPUT's unfinished name) lacks: the rest is "
                 "rendered from there as a segment (0: nothing of it can be kept)");
    app.add_flag("--continue", continued,
                 "Make the leftover's frames the first segment, then join: the segments start where "
                 "--resume-point said");
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
    if (resumePoint) {
        // A render continued must have a frame to render: its segment carries the settings.
        join::Leftover leftover;
        std::string why;
        if (!join::find_leftover(request.output, frames > 0 ? frames - 1 : 0, leftover, why))
            std::fprintf(stderr, "qeljoin: %s\n", why.c_str());
        std::printf("%lld\n", (long long)leftover.frames);
        return 0;
    }
    if (continued && !join::adopt_leftover(request.output, print_message)) return 1;
    return join::join_segments(request) ? 0 : 1;
}
