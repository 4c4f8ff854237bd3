// The interoperability matrix: every container the catalogue offers, each of
// its encoders, paired with the container's default of the other kind.
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace qelhost {
class Module;
}

namespace interop {

// A group is one container's video encoders (each with the default audio
// encoder) or its audio encoders (each with the default video encoder; the
// pair of both defaults is in the video group). Groups run in parallel.
struct Group {
    std::string container;
    int containerIndex = 0;
    bool audioPart = false;
    std::string name() const { return container + (audioPart ? "_audio" : "_video"); }
};
inline void PrintTo(const Group& group, std::ostream* out) { *out << group.name(); }

struct Cell {
    std::string container;
    int containerIndex = 0;
    std::string video;
    int videoIndex = 0;
    std::string audio;
    int audioIndex = 0;
};

enum class Result { Ok, Skipped, Failed };

struct Outcome {
    Result result = Result::Failed;
    std::string text;  // what the table shows
};

std::vector<Group> groups();
std::vector<Cell> cells(const Group& group);

// Renders the cell through the stand-in host and judges the file with FFmpeg.
Outcome run_cell(const std::shared_ptr<qelhost::Module>& module, const Cell& cell, const std::string& directory);

}  // namespace interop
