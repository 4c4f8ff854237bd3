#include "render.h"

#include "standin_host.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace qelhost {

std::string format_timecode(int64_t frame, double fps) {
    const int64_t base = std::max<int64_t>(1, std::llround(fps));
    const int64_t seconds = frame / base;
    char text[96];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60),
                  static_cast<long long>(frame % base));
    return text;
}

bool TestPatternClip::draw(int64_t frame, Picture& picture) {
    picture.draw_test_pattern(frame);
    return true;
}

std::string split_path(const std::string& path, int64_t index) {
    const size_t slash = path.find_last_of("/\\");
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) dot = path.size();
    return path.substr(0, dot) + "_" + std::to_string(index) + path.substr(dot);
}

RenderResult render(StandinHost& host, ClipSource& clip, const RenderOptions& options) {
    RenderResult result;
    host.node().audio = clip.audio();
    host.node().cuts = clip.cuts();
    Picture picture(clip.width(), clip.height(), clip.channels(), options.direct);

    FrameRequest request;
    request.picture = &picture;
    request.fps = clip.fps();
    request.reel_id = clip.reel_id();
    request.field_order = clip.field_order();
    for (int64_t frame = 0; frame < clip.frame_count(); ++frame) {
        if (options.stop && options.stop()) {
            result.stopped = true;
            break;
        }
        request.frame = double(frame);
        request.path = options.split > 0 ? split_path(options.path, frame / options.split + 1) : options.path;
        if (result.paths.empty() || result.paths.back() != request.path) result.paths.push_back(request.path);
        request.timecode = clip.timecode(frame);
        bool ok = clip.draw(frame, picture) && host.process(request);
        ++result.requests;
        if (!ok) ++result.failed;
        if (options.progress) options.progress(frame, ok);
    }
    request.path.clear();
    result.finished = host.process(request);
    return result;
}

}  // namespace qelhost
