#include "render.h"

#include "standin_host.h"

extern "C" {
#include <libavutil/rational.h>
}

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <regex>

namespace qelhost {

namespace {

// The host's own reading of its rate: an NTSC project's n × 1000/1001 (or
// the 29.97 a person types for it) is that fraction; any other, libavutil's
// nearest fraction.
AVRational host_rate(double fps) {
    const double n = std::round(fps * 1.001);
    if (n >= 1 && std::abs(fps - n * 1000.0 / 1001.0) < 0.0005) return AVRational{int(n) * 1000, 1001};
    return av_d2q(fps, 1000000);
}

}  // namespace

std::string format_timecode(int64_t frame, double fps) {
    const int64_t base = std::max<int64_t>(1, std::llround(fps));
    const int64_t seconds = frame / base;
    char text[96];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60),
                  static_cast<long long>(frame % base));
    return text;
}

std::optional<TimecodeCounter> TimecodeCounter::parse(const std::string& first, double fps, std::string& error) {
    // libavutil's own reading takes any separator for drop-frame and any
    // number of digits: the shape is checked here first.
    static const std::regex shape(R"((\d{2}):(\d{2}):(\d{2})([:;])(\d{2,3}))");
    std::smatch parts;
    if (!std::regex_match(first, parts, shape)) {
        error = "\"" + first + "\" is not HH:MM:SS:FF, or HH:MM:SS;FF for drop-frame";
        return std::nullopt;
    }
    const int hours = std::stoi(parts[1]), minutes = std::stoi(parts[2]), seconds = std::stoi(parts[3]);
    const int frames = std::stoi(parts[5]);
    const bool drop = parts[4] == ";";
    const AVRational rate = host_rate(fps);
    char rateText[64];
    std::snprintf(rateText, sizeof rateText, "%g fps", fps);
    if (drop && !(rate.den == 1001 && (rate.num == 30000 || rate.num == 60000))) {
        error = "drop-frame timecode " + first + " is counted only at 29.97 or 59.94 fps, not at " + rateText;
        return std::nullopt;
    }
    if (hours > 23 || minutes > 59 || seconds > 59) {
        error = first + " is no time of day: hours run to 23, minutes and seconds to 59";
        return std::nullopt;
    }
    TimecodeCounter counter;
    if (av_timecode_init_from_string(&counter.m_timecode, rate, first.c_str(), nullptr) < 0) {
        error = "FFmpeg cannot count timecode " + first + " at " + rateText;
        return std::nullopt;
    }
    const int base = int(counter.m_timecode.fps);
    if (frames >= base) {
        error = "the frames of " + first + " must be below " + std::to_string(base) + " at " + rateText;
        return std::nullopt;
    }
    // Drop-frame counting leaves out the first labels of every minute but
    // each tenth.
    const int dropped = drop ? base / 30 * 2 : 0;
    if (drop && seconds == 0 && minutes % 10 != 0 && frames < dropped) {
        error = first + " is never reached in drop-frame counting: that minute begins at frame " +
                std::to_string(dropped);
        return std::nullopt;
    }
    // A day of drop-frame labels: 17982 in every ten minutes at 29.97.
    counter.m_timecode.flags |= AV_TIMECODE_FLAG_24HOURSMAX;
    counter.m_framesPerDay = drop ? int64_t(base / 30) * 17982 * 144 : int64_t(base) * 86400;
    return counter;
}

std::string TimecodeCounter::at(int64_t frame) const {
    char text[AV_TIMECODE_STR_SIZE];
    const int64_t inDay = (frame % m_framesPerDay + m_framesPerDay) % m_framesPerDay;
    return av_timecode_make_string(&m_timecode, text, int(inDay));
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
    const int64_t end = options.last_frame >= 0 ? std::min(options.last_frame + 1, clip.frame_count()) : clip.frame_count();
    for (int64_t frame = clip.any_frame_first() ? options.first_frame : 0; frame < end; ++frame) {
        if (frame < options.first_frame) {
            clip.draw(frame, picture);
            continue;
        }
        if (options.stop && options.stop()) {
            result.stopped = true;
            break;
        }
        request.frame = double(frame);
        request.path = options.split > 0 ? split_path(options.path, frame / options.split + 1) : options.path;
        if (result.paths.empty() || result.paths.back() != request.path) result.paths.push_back(request.path);
        request.timecode = clip.timecode(frame);
        const bool drawn = clip.draw(frame, picture);
        if (drawn) {
            if (result.first_timecode.empty()) result.first_timecode = request.timecode;
            result.last_timecode = request.timecode;
        }
        const bool ok = drawn && host.process(request);
        ++result.requests;
        if (!ok) ++result.failed;
        if (options.progress) options.progress(frame, ok);
    }
    request.path.clear();
    if (options.before_finish) options.before_finish();
    const auto finishing = std::chrono::steady_clock::now();
    result.finished = host.process(request);
    result.finish_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - finishing).count();
    return result;
}

}  // namespace qelhost
