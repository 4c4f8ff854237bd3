// qelhost as a person runs it, and what its files say: shared by the tests
// of requests sent from the command line and of how renders end.
#pragma once

#include "common/media_probe.h"
#include "common/run.h"
#include "faststart/movie_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

inline const std::string QELHOST = std::string(QEL_BUILD_DIR) + "/qelhost";

// The index of a mov or mp4 stands in front of its media: faststart ran.
inline bool index_in_front(const std::string& path) {
    const std::vector<std::string> atoms = types_of(top_level(read_file(path)));
    const auto moov = std::find(atoms.begin(), atoms.end(), "moov");
    return moov != atoms.end() && moov < std::find(atoms.begin(), atoms.end(), "mdat");
}

// A table's row names its test.
template <typename Row>
std::string row_name(const ::testing::TestParamInfo<Row>& info) {
    return info.param.name;
}
