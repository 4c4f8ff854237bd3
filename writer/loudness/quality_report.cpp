#include "writer/loudness/quality_report.h"

#include "writer/settings/frame_rate.h"

#include "base/disk_flush.h"

#include <nlohmann/json.hpp>

extern "C" {
#include <libavutil/timecode.h>
}

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace {

using nlohmann::json;

// The page's colours; the browser test finds the curve and the band by them.
constexpr const char* MOMENTARY_COLOUR = "#1f5fbf";
constexpr const char* SHORT_TERM_COLOUR = "#e07b00";
constexpr const char* BAND_COLOUR = "#b9e4b9";
constexpr const char* OVER_COLOUR = "#d62728";
constexpr const char* RATE_COLOUR = "#7a7a7a";
constexpr const char* KEY_FRAME_COLOUR = "#8e44ad";
// The loudness chart: its size, and the range of levels it shows.
constexpr double WIDTH = 960, LOUD_HEIGHT = 300, RATE_HEIGHT = 160, LEFT = 56, RIGHT = 12, TOP = 12, BOTTOM = 28;
constexpr double FLOOR_LUFS = -60, CEILING_LUFS = 0;

json number(double value) { return std::isfinite(value) ? json(std::round(value * 100) / 100) : json(nullptr); }

// The output's timecode at `seconds` into it, or the time itself where the
// host gave no timecode this writer reads.
std::string timecode_at(const QualityCheck& check, double seconds) {
    AVTimecode timecode;
    const AVRational rate = frame_rate_of(usable_frame_rate(check.fps()));
    char text[AV_TIMECODE_STR_SIZE];
    if (!check.timecode().empty() &&
        av_timecode_init_from_string(&timecode, rate, check.timecode().c_str(), nullptr) >= 0)
        return av_timecode_make_string(&timecode, text, int(std::floor(seconds * av_q2d(rate))));
    std::snprintf(text, sizeof text, "%02d:%02d:%06.3f", int(seconds / 3600), int(std::fmod(seconds / 60, 60)),
                  std::fmod(seconds, 60));
    return text;
}

std::string verdict_of(const QualityCheck& check, const std::optional<LoudnessFigures>& figures, std::string& misses) {
    if (!figures) return "not measured";
    if (std::isnan(check.target().integrated)) return "not judged";
    misses = loudness_misses(check.target(), *figures);
    return misses.empty() ? "meets" : "misses";
}

json report_json(const std::string& movie, const QualityCheck& check, const char* container) {
    const std::optional<LoudnessFigures> f = check.figures();
    const LoudnessTarget& target = check.target();
    std::string misses;
    json report = {
        {"movie", movie},
        {"container", container ? container : ""},
        {"timecode", check.timecode()},
        {"fps", number(check.fps())},
        {"target",
         {{"name", target.label},
          {"integrated", number(target.integrated)},
          {"tolerance", number(target.tolerance)},
          {"max_true_peak", std::isnan(target.integrated) ? json(nullptr) : number(target.maxTruePeak)},
          {"max_short_term", number(target.maxShortTerm)}}},
    };
    report["verdict"] = verdict_of(check, f, misses);
    report["misses"] = misses;
    if (f) {
        json channels = json::array();
        for (size_t c = 0; c < f->channels.size(); ++c)
            channels.push_back({{"name", f->channels[c]},
                                {"true_peak", number(f->channelTruePeaks[c])},
                                {"sample_peak", number(f->channelSamplePeaks[c])}});
        json overs = json::array();
        for (const TruePeakOver& over : f->overs)
            overs.push_back({{"seconds", number(over.seconds)},
                             {"timecode", timecode_at(check, over.seconds)},
                             {"channel", f->channels[size_t(over.channel)]},
                             {"level", number(over.level)}});
        json momentary = json::array(), shortTerm = json::array();
        for (float v : f->curve.momentary) momentary.push_back(number(v));
        for (float v : f->curve.shortTerm) shortTerm.push_back(number(v));
        report["loudness"] = {
            {"integrated", number(f->integrated)},
            {"range", number(f->range)},
            {"momentary_max", number(f->momentaryMax)},
            {"short_term_max", number(f->shortTermMax)},
            {"true_peak", number(f->truePeak)},
            {"sample_peak", number(f->samplePeak)},
            {"channels", channels},
            {"seconds", number(f->seconds)},
            {"curve", {{"step", f->curve.step}, {"momentary", momentary}, {"short_term", shortTerm}}},
            {"overs", overs},
            {"over_count", f->overCount},
        };
    } else {
        report["loudness"] = nullptr;
    }
    const VideoRate& video = check.videoRate();
    report["video"] = {{"bytes_per_second", video.bytesPerSecond},
                       {"key_frames", video.keyFrames},
                       {"key_frame_count", video.keyFrameCount}};
    return report;
}

std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string fixed(double value, int decimals = 1) {
    if (!std::isfinite(value)) return "&minus;&infin;";
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// x of `seconds` and y of a level in the loudness chart.
struct LoudnessAxes {
    double seconds;
    double x(double at) const { return LEFT + (WIDTH - LEFT - RIGHT) * (seconds > 0 ? at / seconds : 0); }
    double y(double lufs) const {
        const double clamped = std::clamp(lufs, FLOOR_LUFS, CEILING_LUFS);
        return TOP + (LOUD_HEIGHT - TOP - BOTTOM) * (CEILING_LUFS - clamped) / (CEILING_LUFS - FLOOR_LUFS);
    }
};

// A curve as polylines, broken where it is silent.
void draw_curve(std::ostringstream& svg, const LoudnessAxes& axes, const std::vector<float>& points, double step,
                const char* colour) {
    std::string line;
    const auto end_line = [&] {
        if (!line.empty())
            svg << "<polyline fill=\"none\" stroke=\"" << colour << "\" stroke-width=\"2\" points=\"" << line
                << "\"/>\n";
        line.clear();
    };
    for (size_t i = 0; i < points.size(); ++i) {
        if (!std::isfinite(points[i]) || points[i] < FLOOR_LUFS) {
            end_line();
            continue;
        }
        char point[48];
        std::snprintf(point, sizeof point, "%.1f,%.1f ", axes.x((double(i) + 0.5) * step), axes.y(points[i]));
        line += point;
    }
    end_line();
}

std::string loudness_chart(const QualityCheck& check, const LoudnessFigures& f) {
    const LoudnessAxes axes{std::max(f.seconds, 0.1)};
    std::ostringstream svg;
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" id=\"loudness\" width=\"" << WIDTH << "\" height=\""
        << LOUD_HEIGHT << "\" role=\"img\" aria-label=\"Momentary and short-term loudness\">\n";
    svg << "<rect x=\"0\" y=\"0\" width=\"" << WIDTH << "\" height=\"" << LOUD_HEIGHT << "\" fill=\"#ffffff\"/>\n";
    const LoudnessTarget& target = check.target();
    if (!std::isnan(target.integrated)) {
        const double top = axes.y(target.integrated + target.tolerance), bottom = axes.y(target.integrated - target.tolerance);
        svg << "<rect id=\"band\" x=\"" << LEFT << "\" y=\"" << top << "\" width=\"" << WIDTH - LEFT - RIGHT
            << "\" height=\"" << std::max(bottom - top, 2.0) << "\" fill=\"" << BAND_COLOUR << "\"><title>"
            << escaped(target.label) << ": " << fixed(target.integrated) << " &plusmn; " << fixed(target.tolerance)
            << " LU</title></rect>\n";
    }
    for (double lufs = FLOOR_LUFS; lufs <= CEILING_LUFS; lufs += 10) {
        svg << "<line x1=\"" << LEFT << "\" x2=\"" << WIDTH - RIGHT << "\" y1=\"" << axes.y(lufs) << "\" y2=\""
            << axes.y(lufs) << "\" stroke=\"#dddddd\"/>\n";
        svg << "<text x=\"" << LEFT - 6 << "\" y=\"" << axes.y(lufs) + 4
            << "\" font-size=\"11\" text-anchor=\"end\" fill=\"#444\">" << lufs << "</text>\n";
    }
    svg << "<text x=\"4\" y=\"" << TOP + 10 << "\" font-size=\"11\" fill=\"#444\">LUFS</text>\n";
    draw_curve(svg, axes, f.curve.shortTerm, f.curve.step, SHORT_TERM_COLOUR);
    draw_curve(svg, axes, f.curve.momentary, f.curve.step, MOMENTARY_COLOUR);
    for (const TruePeakOver& over : f.overs) {
        const double x = axes.x(over.seconds);
        svg << "<line class=\"over\" x1=\"" << x << "\" x2=\"" << x << "\" y1=\"" << TOP << "\" y2=\""
            << LOUD_HEIGHT - BOTTOM << "\" stroke=\"" << OVER_COLOUR << "\" stroke-width=\"2\"><title>"
            << timecode_at(check, over.seconds) << " " << escaped(f.channels[size_t(over.channel)]) << " "
            << fixed(over.level) << " dBTP</title></line>\n";
    }
    svg << "<text x=\"" << LEFT << "\" y=\"" << LOUD_HEIGHT - 8 << "\" font-size=\"11\" fill=\"#444\">"
        << escaped(timecode_at(check, 0)) << "</text>\n";
    svg << "<text x=\"" << WIDTH - RIGHT << "\" y=\"" << LOUD_HEIGHT - 8
        << "\" font-size=\"11\" text-anchor=\"end\" fill=\"#444\">" << escaped(timecode_at(check, f.seconds))
        << "</text>\n</svg>\n";
    return svg.str();
}

std::string rate_chart(const QualityCheck& check) {
    const VideoRate& video = check.videoRate();
    const double seconds = std::max<double>(double(video.bytesPerSecond.size()), 1);
    const int64_t most = std::max<int64_t>(
        1, video.bytesPerSecond.empty() ? 1 : *std::max_element(video.bytesPerSecond.begin(), video.bytesPerSecond.end()));
    const double plotWidth = WIDTH - LEFT - RIGHT, plotHeight = RATE_HEIGHT - TOP - BOTTOM;
    std::ostringstream svg;
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" id=\"bitrate\" width=\"" << WIDTH << "\" height=\""
        << RATE_HEIGHT << "\" role=\"img\" aria-label=\"Video bit rate per second and key frames\">\n";
    svg << "<rect x=\"0\" y=\"0\" width=\"" << WIDTH << "\" height=\"" << RATE_HEIGHT << "\" fill=\"#ffffff\"/>\n";
    for (size_t s = 0; s < video.bytesPerSecond.size(); ++s) {
        const double height = plotHeight * double(video.bytesPerSecond[s]) / double(most);
        svg << "<rect x=\"" << LEFT + plotWidth * double(s) / seconds << "\" y=\"" << TOP + plotHeight - height
            << "\" width=\"" << std::max(plotWidth / seconds - 1, 1.0) << "\" height=\"" << height << "\" fill=\""
            << RATE_COLOUR << "\"><title>" << escaped(timecode_at(check, double(s))) << " "
            << fixed(double(video.bytesPerSecond[s]) * 8 / 1e6, 2) << " Mbit/s</title></rect>\n";
    }
    for (double key : video.keyFrames) {
        const double x = LEFT + plotWidth * key / seconds;
        svg << "<line x1=\"" << x << "\" x2=\"" << x << "\" y1=\"" << TOP + plotHeight << "\" y2=\""
            << TOP + plotHeight + 8 << "\" stroke=\"" << KEY_FRAME_COLOUR << "\" stroke-width=\"2\"/>\n";
    }
    svg << "<text x=\"4\" y=\"" << TOP + 10 << "\" font-size=\"11\" fill=\"#444\">" << fixed(double(most) * 8 / 1e6, 1)
        << " Mbit/s</text>\n</svg>\n";
    return svg.str();
}

std::string report_html(const std::string& movie, const QualityCheck& check, const char* container) {
    const std::optional<LoudnessFigures> f = check.figures();
    std::string misses;
    const std::string verdict = verdict_of(check, f, misses);
    std::ostringstream page;
    page << "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>" << escaped(movie)
         << " &mdash; quality report</title>\n<style>body{font-family:sans-serif;margin:16px;color:#222}"
            "table{border-collapse:collapse}td,th{padding:2px 10px;text-align:left}"
            ".meets{color:#1a7f1a}.misses{color:#c0392b}.key{display:inline-block;width:14px;height:4px;"
            "margin:0 4px 2px 12px}</style></head><body>\n";
    page << "<h1>" << escaped(movie) << "</h1>\n<p>" << escaped(container ? container : "") << ", from "
         << escaped(timecode_at(check, 0)) << " at " << fixed(check.fps(), 3) << " fps</p>\n";
    page << "<h2>Sound</h2>\n";
    if (!f) {
        page << "<p>No sound was measured.</p>\n";
    } else {
        page << "<p>Target: " << escaped(check.target().label) << " &mdash; <b class=\"" << verdict << "\">" << verdict
             << "</b>" << (misses.empty() ? "" : ": " + escaped(misses)) << "</p>\n<table>\n";
        page << "<tr><th>Integrated loudness</th><td>" << fixed(f->integrated) << " LUFS</td></tr>\n"
             << "<tr><th>Loudness range</th><td>" << fixed(f->range) << " LU</td></tr>\n"
             << "<tr><th>Maximum momentary loudness</th><td>" << fixed(f->momentaryMax) << " LUFS</td></tr>\n"
             << "<tr><th>Maximum short-term loudness</th><td>" << fixed(f->shortTermMax) << " LUFS</td></tr>\n"
             << "<tr><th>True peak</th><td>" << fixed(f->truePeak) << " dBTP</td></tr>\n"
             << "<tr><th>Sample peak</th><td>" << fixed(f->samplePeak) << " dBFS</td></tr>\n";
        for (size_t c = 0; c < f->channels.size(); ++c)
            page << "<tr><th>" << escaped(f->channels[c]) << "</th><td>" << fixed(f->channelTruePeaks[c])
                 << " dBTP true peak, " << fixed(f->channelSamplePeaks[c]) << " dBFS sample peak</td></tr>\n";
        page << "<tr><th>True-peak overs</th><td>" << f->overCount << "</td></tr>\n</table>\n";
        page << "<p><span class=\"key\" style=\"background:" << MOMENTARY_COLOUR << "\"></span>momentary"
             << "<span class=\"key\" style=\"background:" << SHORT_TERM_COLOUR << "\"></span>short-term"
             << "<span class=\"key\" style=\"background:" << BAND_COLOUR << "\"></span>target"
             << "<span class=\"key\" style=\"background:" << OVER_COLOUR << "\"></span>true-peak over</p>\n";
        page << loudness_chart(check, *f);
    }
    page << "<h2>Pictures</h2>\n<p><span class=\"key\" style=\"background:" << RATE_COLOUR
         << "\"></span>bit rate each second<span class=\"key\" style=\"background:" << KEY_FRAME_COLOUR
         << "\"></span>key frame (" << check.videoRate().keyFrameCount << ")</p>\n"
         << rate_chart(check) << "</body></html>\n";
    return page.str();
}

}  // namespace

std::string quality_report_path(const std::string& moviePath, const char* suffix) {
    const size_t slash = moviePath.rfind('/');
    const size_t dot = moviePath.rfind('.');
    const bool extension = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    return (extension ? moviePath.substr(0, dot) : moviePath) + suffix;
}

bool write_quality_report(const std::string& moviePath, const QualityCheck& check, const char* container,
                          std::string& error) {
    const size_t slash = moviePath.rfind('/');
    const std::string movie = slash == std::string::npos ? moviePath : moviePath.substr(slash + 1);
    const std::string jsonPath = quality_report_path(moviePath, ".qc.json");
    const std::string htmlPath = quality_report_path(moviePath, ".qc.html");
    if (!write_file_whole(jsonPath, report_json(movie, check, container).dump(1) + "\n")) {
        error = "<" + jsonPath + ">: " + std::strerror(errno);
        return false;
    }
    if (!write_file_whole(htmlPath, report_html(movie, check, container))) {
        error = "<" + htmlPath + ">: " + std::strerror(errno);
        return false;
    }
    flush_folder_of(jsonPath);
    return true;
}
