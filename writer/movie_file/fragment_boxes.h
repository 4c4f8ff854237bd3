// The boxes that make a QuickTime movie readable while it is written: a movie
// fragment (moof) describing samples already in the file by their absolute
// positions, and what the writer learns from an index (moov) box.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct FragmentSample {
    int64_t position;        // in the file
    uint32_t size;
    uint32_t duration;       // in the track's time scale
    int32_t compositionOffset;  // pts - dts
    bool key;
};

// One track's samples of a fragment, lying one after another in the file.
struct TrackRun {
    uint32_t trackId;
    uint64_t decodeTime;  // dts of the first sample, from the track's first dts
    std::vector<FragmentSample> samples;
};

// The size of a moof whose tracks have these sample counts.
uint32_t moof_size(const std::vector<size_t>& sampleCounts);
// The moof itself; empty when a track's samples do not lie one after another.
std::vector<uint8_t> moof_box(uint32_t sequence, const std::vector<TrackRun>& tracks);

// What a movie box says of one track.
struct TrackBox {
    uint32_t id = 0;
    uint32_t handler = 0;    // "vide", "soun", "tmcd" ...
    uint32_t timescale = 0;  // of its media
};
// The tracks of a moov box in their order; empty when it cannot be read.
std::vector<TrackBox> tracks_of(const uint8_t* moov, size_t size);

// The top-level box of `type` in `bytes`, header included; empty when none.
std::vector<uint8_t> top_level_box(const uint8_t* bytes, size_t size, uint32_t type);
