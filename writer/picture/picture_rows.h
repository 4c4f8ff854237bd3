// The per-row work of the one-pass conversion: host RGB(A) rows of 16-bit
// samples to the rows of planar YUV(A), vectorised for the processor found at
// run time, with a plain path every vectorised one must match byte for byte.
#pragma once

#include <cstdint>
#include <vector>

namespace qel {

// Coefficients in the output's units, rounding folded into the offsets (each
// sum is truncated), so that every path does the same float operations in
// the same order. `cb`/`cr` are given per number of host pixels a chroma
// sample covers: index 0 for one, 1 for two, 3 for four.
struct RowCoefficients {
    float y[3] = {};
    float yOffset = 0;
    float cb[4][3] = {};
    float cr[4][3] = {};
    float cOffset = 0;
    float a = 0;
    float aOffset = 0;
    int32_t maximum = 0;  // largest sample of the output's depth
};

// One step of the conversion: one host row, or a pair of rows whose chroma is
// shared (vertically halved chroma). Output rows are 8-bit or 16-bit little
// endian samples, as `wide` says.
struct RowJob {
    const uint16_t* rows[2] = {};  // rows[1] only when the pair shares chroma
    int channels = 4;              // 3 (RGB) or 4 (RGBA) host samples per pixel
    int width = 0;
    bool wide = false;
    bool halfWidth = false;     // one chroma sample for each pixel pair
    uint8_t* luma[2] = {};
    uint8_t* alpha[2] = {};     // none: the output has no alpha
    uint8_t* cb = nullptr;
    uint8_t* cr = nullptr;
    const RowCoefficients* k = nullptr;
};

// The vectorised path, for the best target this processor runs.
void convert_rows(const RowJob& job);
// The plain C++ path, from pixel `from` (even) to the end of the row.
void convert_rows_plain(const RowJob& job, int from = 0);

// The vectorised targets this build holds and this processor runs, and a way
// to run the conversion on one of them: for the test that each gives the
// plain path's bytes.
std::vector<int64_t> conversion_targets();
const char* conversion_target_name(int64_t target);
// False when the target asked for did not run.
bool convert_rows_on(int64_t target, const RowJob& job);

}  // namespace qel
