// Where the pieces of a farm render go and what each says of itself. Every
// task of one output is given the output's path; its piece is written into
// the folder beside it, named by the first frame it holds, so that tasks
// never collide and the join finds them all. Each piece is a QuickTime movie
// of the pictures coded as the output's own encoder codes them, with the
// host's sound as it came (PCM), and a manifest beside it: the settings the
// pieces must share, its frames, its first timecode and metadata, its size.
#pragma once

#include "writer/settings/writer_settings.h"

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

// clip.mov -> clip.mov.segments
std::string segment_folder(const std::string& outputPath);
// clip.mov, 100 -> clip.mov.segments/00000100.mov
std::string segment_path(const std::string& outputPath, int64_t firstFrame);
// The manifest beside a segment: 00000100.mov -> 00000100.txt
std::string manifest_path(const std::string& segmentPath);
// The container every segment is written in, whatever the output's.
constexpr const char* SEGMENT_CARRIER = "mov";
// True for the outputs whose segments the join makes into one movie.
bool joins_segments(const char* containerName);

struct SegmentManifest {
    std::string output;    // the output path every task was given
    std::string settings;  // one line per setting: equal in every segment of an output
    int64_t firstFrame = 0;
    int64_t frames = 0;
    int64_t soundBytes = 0;  // of host samples, as they came
    int64_t fileBytes = 0;
    std::string timecode;
    std::vector<std::pair<std::string, std::string>> metadata;

    std::string text() const;
    // False with `why` for a text that is no manifest of this writer.
    bool parse(const std::string& text, std::string& why);
};

// The settings' lines, in one order, for the manifest.
std::string settings_text(const WriterSettings& settings);

// WriterSettings read back from a manifest; the texts they point to are its own.
class StoredSettings {
public:
    bool parse(const SegmentManifest& manifest, std::string& why);
    const WriterSettings& settings() const { return m_settings; }

private:
    WriterSettings m_settings;
    std::deque<std::string> m_texts;  // the settings point into it: it only grows at its end
    std::vector<MetadataPair> m_metadata;
};
