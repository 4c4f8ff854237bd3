#include "loudness_targets.h"

#include <cmath>
#include <iterator>

namespace {

const LoudnessTarget TARGETS[] = {
    {"None", NAN, 0, 0, NAN},
    {"EBU R 128", -23, 0.5, -1, NAN},
    {"EBU R 128 s1 (short form)", -23, 0.5, -1, -18},
    {"ATSC A/85", -24, 2, -2, NAN},
    // The platforms publish a level, not a tolerance; one LU either side.
    {"Streaming \u221214 LUFS", -14, 1, -1, NAN},
    {"Streaming \u221216 LUFS", -16, 1, -1, NAN},
};

}  // namespace

const LoudnessTarget& loudness_target(int index) {
    return index >= 0 && size_t(index) < std::size(TARGETS) ? TARGETS[index] : TARGETS[0];
}

size_t loudness_target_count() { return std::size(TARGETS); }

std::string loudness_target_choices() {
    std::string choices;
    for (const LoudnessTarget& target : TARGETS) choices += (choices.empty() ? "" : ",") + std::string(target.label);
    return choices;
}
