// The deliveries a render's sound may be held to, in the panel's order: the
// programme loudness with its tolerance, the highest true peak, and for short
// forms the loudest short-term loudness.
#pragma once

#include <cstddef>
#include <string>

struct LoudnessTarget {
    const char* label;    // the panel's item, and the name a sentence gives it
    double integrated;    // LUFS; NaN for "None": measured, nothing judged
    double tolerance;     // LU either side
    double maxTruePeak;   // dBTP
    double maxShortTerm;  // LUFS; NaN where the delivery has no such limit
};

// Stored indices beyond the list (a project from a later release) are "None".
const LoudnessTarget& loudness_target(int index);
size_t loudness_target_count();
// The panel's choices text: the labels joined by commas.
std::string loudness_target_choices();
