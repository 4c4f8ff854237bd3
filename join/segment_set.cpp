#include "segment_set.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <system_error>

namespace fs = std::filesystem;

namespace join {

namespace {

std::string range_text(int64_t first, int64_t end) {
    return end - first == 1 ? "frame " + std::to_string(first)
                            : "frames " + std::to_string(first) + " to " + std::to_string(end - 1);
}

// The first line of settings in which two segments differ.
std::string first_difference(const std::string& a, const std::string& b) {
    std::istringstream left(a), right(b);
    std::string x, y;
    while (true) {
        const bool moreLeft = bool(std::getline(left, x)), moreRight = bool(std::getline(right, y));
        if (!moreLeft && !moreRight) return "";
        if (!moreLeft) x.clear();
        if (!moreRight) y.clear();
        if (x != y) return (x.empty() ? y : x).substr(0, (x.empty() ? y : x).find('='));
    }
}

bool read_text(const fs::path& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
    return bool(in) || in.eof();
}

}  // namespace

bool find_segments(const std::string& outputPath, const std::optional<FrameRange>& expected, SegmentSet& set,
                   std::string& why) {
    set = SegmentSet{};
    set.folder = segment_folder(outputPath);
    std::error_code error;
    if (!fs::is_directory(set.folder, error)) {
        why = "no segments of <" + outputPath + ">: <" + set.folder + "> is not there";
        return false;
    }
    static const std::regex movie(R"((\d{8,})\.mov)"), manifest(R"((\d{8,})\.txt)"),
        leftover(R"((\d{8,})_Unfinished(-\d+)?\.mov)"), passing(R"(\d{8,}\.txt\.part)");
    std::map<int64_t, fs::path> movies, manifests, leftovers;
    for (const fs::directory_entry& entry : fs::directory_iterator(set.folder, error)) {
        const std::string name = entry.path().filename().string();
        std::smatch match;
        if (std::regex_match(name, match, movie)) movies[std::stoll(match[1])] = entry.path();
        else if (std::regex_match(name, match, manifest)) manifests[std::stoll(match[1])] = entry.path();
        else if (std::regex_match(name, match, leftover)) leftovers[std::stoll(match[1])] = entry.path();
        else if (!std::regex_match(name, passing)) {
            why = "<" + entry.path().string() + "> is not a segment: only segments belong in <" + set.folder + ">";
            return false;
        }
    }
    if (error) {
        why = "cannot read <" + set.folder + ">: " + error.message();
        return false;
    }
    for (const auto& [first, path] : movies)
        if (!manifests.count(first)) {
            why = "<" + path.string() + "> has no manifest beside it: it is not a segment this writer finished";
            return false;
        }
    for (const auto& [first, path] : leftovers)
        if (!movies.count(first)) {
            why = "the segment from frame " + std::to_string(first) + " is unfinished: <" + path.string() +
                  "> is what its render left";
            return false;
        }
    for (const auto& [first, path] : manifests) {
        FoundSegment found;
        std::string text, problem;
        if (!read_text(path, text) || !found.manifest.parse(text, problem)) {
            why = "<" + path.string() + "> is not a segment manifest: " + (problem.empty() ? "unreadable" : problem);
            return false;
        }
        if (found.manifest.firstFrame != first) {
            why = "<" + path.string() + "> says its segment starts at frame " +
                  std::to_string(found.manifest.firstFrame) + ", its name at frame " + std::to_string(first);
            return false;
        }
        const auto movieAt = movies.find(first);
        if (movieAt == movies.end()) {
            why = "the segment from frame " + std::to_string(first) + " is unfinished: <" +
                  segment_path(outputPath, first) + "> is not there";
            return false;
        }
        found.path = movieAt->second.string();
        const auto size = fs::file_size(movieAt->second, error);
        if (error || int64_t(size) != found.manifest.fileBytes) {
            why = "<" + found.path + "> is truncated: " + std::to_string(error ? 0 : size) + " of its " +
                  std::to_string(found.manifest.fileBytes) + " bytes are there";
            return false;
        }
        set.segments.push_back(std::move(found));
    }
    if (set.segments.empty()) {
        why = "no segments of <" + outputPath + "> in <" + set.folder + ">";
        return false;
    }
    const FoundSegment& model = set.segments.front();
    for (const FoundSegment& segment : set.segments) {
        if (segment.manifest.settings == model.manifest.settings) continue;
        why = "<" + segment.path + "> was rendered with other settings than <" + model.path + "> (" +
              first_difference(segment.manifest.settings, model.manifest.settings) + " differs)";
        return false;
    }
    for (size_t i = 1; i < set.segments.size(); ++i) {
        const FoundSegment& before = set.segments[i - 1];
        const FoundSegment& segment = set.segments[i];
        if (segment.manifest.firstFrame < before.end()) {
            why = "the segments from frame " + std::to_string(before.manifest.firstFrame) + " and from frame " +
                  std::to_string(segment.manifest.firstFrame) + " both hold " +
                  range_text(segment.manifest.firstFrame, std::min(before.end(), segment.end()));
            return false;
        }
        if (segment.manifest.firstFrame > before.end()) {
            why = range_text(before.end(), segment.manifest.firstFrame) + " of <" + outputPath +
                  "> are in no segment";
            return false;
        }
    }
    if (expected) {
        const int64_t first = set.segments.front().manifest.firstFrame, end = set.segments.back().end();
        if (first > expected->first || end < expected->last + 1) {
            const bool head = first > expected->first;
            why = range_text(head ? expected->first : end, head ? first : expected->last + 1) + " of <" + outputPath +
                  "> are in no segment";
            return false;
        }
        if (first < expected->first || end > expected->last + 1) {
            why = "the segments hold " + range_text(first, end) + ", more than the " +
                  range_text(expected->first, expected->last + 1) + " asked for";
            return false;
        }
    }
    return true;
}

}  // namespace join
