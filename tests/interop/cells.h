// One cell of the interoperability matrix: a container, one of its encoders
// and the container's default of the other kind, rendered and judged.
#pragma once

#include <memory>
#include <string>

namespace qelhost {
class Module;
}

namespace interop {

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

// Renders the cell through the stand-in host and judges the file with FFmpeg.
Outcome run_cell(const std::shared_ptr<qelhost::Module>& module, const Cell& cell, const std::string& directory);

}  // namespace interop
