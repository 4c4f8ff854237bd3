// The colour spaces a host's timeline may be graded in, as the panel offers
// them, and what each asks of the pixels.
#pragma once

#include "entries.h"

#include <cstdint>

// Stored in projects by index: the order stays. The host's 16-bit R'G'B'
// values are already in the chosen space (PQ- or HLG-encoded for the Rec.2100
// choices), so the choice picks the matrix and the tags.
enum ColourChoice : int32_t { COLOUR_REC709 = 0, COLOUR_REC2020 = 1, COLOUR_PQ = 2, COLOUR_HLG = 3 };
constexpr const char* COLOUR_CHOICES = "Rec.709,Rec.2020,Rec.2100 PQ,Rec.2100 HLG";
// The mastering display of a PQ programme, and its minimum luminance in
// 0.0001 cd/m² at the index of the panel's list.
constexpr const char* MASTERING_PRIMARIES_CHOICES = "Display P3,Rec.2020";
constexpr const char* MASTERING_MIN_LUMINANCE_CHOICES = "0.0001,0.0005,0.001,0.005,0.01,0.05,0.1";
constexpr int32_t MASTERING_MIN_LUMINANCE_UNITS[] = {1, 5, 10, 50, 100, 500, 1000};
constexpr int32_t DEFAULT_MASTERING_MIN_INDEX = 3;

const char* colour_name(int32_t choice);
// Rec.2020 and both Rec.2100 choices: BT.2020's primaries and matrix.
bool is_bt2020(int32_t choice);
// The Rec.2100 transfers are coded in 10 bits or more.
bool needs_ten_bits(int32_t choice);
// Bits of the first component; 0 for no format.
int luma_depth(int32_t pixel_format);
// The minimum luminance at a list index, the default for one out of range.
int32_t mastering_min_luminance(int32_t index);

// The entry of an encoder's pixel formats that keeps the layout of `current`
// (chroma, alpha, RGB) in 10 bits, else its first one of 10 bits, else of
// more; -1 when it has none. Marked entries are passed over.
int32_t ten_bit_format_for(const ChoiceList& formats, int32_t current);

// Marks the video encoders that code 8 bits at most, as other unusable
// entries are marked. Indices stay as they are.
void mark_without_ten_bits(EncoderList& list);
