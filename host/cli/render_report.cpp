// What qelhost render says: the render it is about to make, and afterwards
// the files, frames, timecode, speed and how it ended (its exit status).
#include "render_report.h"

#include "progress.h"

#include <cstdio>
#include <filesystem>
#include <utility>
#include <vector>

namespace {

std::string size_text(uintmax_t bytes) {
    char text[32];
    if (bytes >= 1024 * 1024)
        std::snprintf(text, sizeof text, "%.2f MiB", double(bytes) / (1024.0 * 1024.0));
    else if (bytes >= 1024)
        std::snprintf(text, sizeof text, "%.1f KiB", double(bytes) / 1024.0);
    else
        std::snprintf(text, sizeof text, "%ju bytes", bytes);
    return text;
}

std::string chosen(qelhost::StandinHost& host, const char* id) {
    const qelhost::Control* control = host.controls().find(id);
    return control ? control->value_text() : std::string("?");
}

}  // namespace

void describe(qelhost::StandinHost& host, const qelhost::ClipSource& clip, const std::string& output) {
    std::string video = chosen(host, "klavvideocodec");
    const std::string profile = chosen(host, "klavvidprofile");
    if (profile != "-") video += ", " + profile;
    video += ", " + chosen(host, "klavpixelfmt");
    std::string audio = "no sound";
    if (const auto sound = clip.audio())
        audio = std::to_string(sound->channels) + " channels at " + std::to_string(int(sound->rate)) + " Hz, " +
                std::to_string(sound->bits) + " bit -> " + chosen(host, "klavaudiocodec");
    std::printf("Rendering %lld frames of %dx%d at %g fps to %s\n  container %s; video %s; audio %s\n",
                static_cast<long long>(clip.frame_count()), clip.width(), clip.height(), clip.fps(), output.c_str(),
                chosen(host, "klavformat").c_str(), video.c_str(), audio.c_str());
    std::fflush(stdout);
}

int summarise(const qelhost::RenderResult& result, const qelhost::ClipSource& clip, double seconds,
              bool hostFaults, int signal) {
    // Only regular files are files to list: a FIFO or a device named as
    // output has no size to report.
    std::vector<std::pair<std::string, uintmax_t>> files;
    uintmax_t total = 0;
    for (const std::string& path : result.paths) {
        std::error_code error;
        if (!std::filesystem::is_regular_file(path, error)) continue;
        const uintmax_t bytes = std::filesystem::file_size(path, error);
        if (error) continue;
        total += bytes;
        files.emplace_back(std::filesystem::absolute(path).lexically_normal().string(), bytes);
    }
    std::printf("\n%zu file%s:\n", files.size(), files.size() == 1 ? "" : "s");
    for (const auto& [path, bytes] : files) std::printf("  %s  %s\n", path.c_str(), size_text(bytes).c_str());
    const double duration = clip.fps() > 0 ? double(result.requests) / clip.fps() : 0;
    std::printf("%lld frames, %s (%.2f s) of %dx%d at %g fps, %s in all\n", static_cast<long long>(result.requests),
                ProgressDisplay::clock_text(duration).c_str(), duration, clip.width(), clip.height(), clip.fps(),
                size_text(total).c_str());
    if (!result.first_timecode.empty())
        std::printf("timecode %s to %s\n", result.first_timecode.c_str(), result.last_timecode.c_str());
    std::printf("rendered in %.2f s, %.1f frames per second on average; the last output finished in %.2f s\n",
                seconds, seconds > 0 ? double(result.requests) / seconds : 0.0, result.finish_seconds);

    int status = 0;
    if (result.failed > 0) {
        std::printf("%lld of %lld frame requests failed\n", static_cast<long long>(result.failed),
                    static_cast<long long>(result.requests));
        status = 1;
    }
    if (!result.finished) {
        std::printf("the final request (empty path) failed: the last file may not be finalised\n");
        status = 1;
    }
    if (hostFaults) {
        std::printf("the module breached the host contract (see the messages above)\n");
        status = 1;
    }
    if (signal != 0) {
        std::printf("interrupted after %lld of %lld frames\n", static_cast<long long>(result.requests),
                    static_cast<long long>(clip.frame_count()));
        status = 128 + signal;
    }
    std::fflush(stdout);
    return status;
}
