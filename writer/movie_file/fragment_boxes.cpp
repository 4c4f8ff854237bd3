#include "writer/movie_file/fragment_boxes.h"

#include "boxes/box_writer.h"
#include "boxes/boxes.h"

using boxes::fourcc;
using Box = boxes::ConstBox;
using boxes::read_be32;

namespace {

// ISO/IEC 14496-12 sample flags: a sync sample depends on no other; any other
// depends on some and is no sync sample.
constexpr uint32_t SYNC_SAMPLE = 0x02000000;
constexpr uint32_t OTHER_SAMPLE = 0x01010000;
// tfhd: the base offset is given, absolute in the file.
constexpr uint32_t BASE_DATA_OFFSET = 0x000001;
// trun: data offset, then duration, size, flags and composition offset per sample.
constexpr uint32_t TRUN_FIELDS = 0x000001 | 0x000100 | 0x000200 | 0x000400 | 0x000800;

constexpr uint32_t MFHD_SIZE = 16, TFHD_SIZE = 24, TFDT_SIZE = 20, TRUN_HEADER = 20, TRUN_ENTRY = 16;

// The boxes inside [begin, end), in order, until one does not fit.
std::vector<Box> children(const uint8_t* begin, const uint8_t* end) {
    std::vector<Box> found;
    boxes::read_boxes(begin, end, found);
    return found;
}

const Box* child(const std::vector<Box>& found, uint32_t type) { return boxes::find_box(found, type); }

}  // namespace

uint32_t moof_size(const std::vector<size_t>& sampleCounts) {
    uint32_t size = 8 + MFHD_SIZE;
    for (size_t count : sampleCounts) size += 8 + TFHD_SIZE + TFDT_SIZE + TRUN_HEADER + TRUN_ENTRY * uint32_t(count);
    return size;
}

std::vector<uint8_t> moof_box(uint32_t sequence, const std::vector<TrackRun>& tracks) {
    std::vector<uint8_t> bytes;
    boxes::BoxWriter out(bytes);
    const size_t moof = out.open(fourcc("moof"));
    const size_t mfhd = out.open(fourcc("mfhd"), 0);
    out.be32(sequence);
    out.close(mfhd);
    for (const TrackRun& track : tracks) {
        if (track.samples.empty()) return {};
        bool signedOffsets = false;
        for (size_t i = 0; i < track.samples.size(); ++i) {
            const FragmentSample& s = track.samples[i];
            if (i > 0 && s.position != track.samples[i - 1].position + track.samples[i - 1].size) return {};
            signedOffsets = signedOffsets || s.compositionOffset < 0;
        }
        const size_t traf = out.open(fourcc("traf"));
        const size_t tfhd = out.open(fourcc("tfhd"), BASE_DATA_OFFSET);
        out.be32(track.trackId);
        out.be64(uint64_t(track.samples.front().position));
        out.close(tfhd);
        const size_t tfdt = out.open(fourcc("tfdt"), 1u << 24);
        out.be64(track.decodeTime);
        out.close(tfdt);
        const size_t trun = out.open(fourcc("trun"), (signedOffsets ? 1u << 24 : 0u) | TRUN_FIELDS);
        out.be32(uint32_t(track.samples.size()));
        out.be32(0);  // data offset from the base
        for (const FragmentSample& s : track.samples) {
            out.be32(s.duration);
            out.be32(s.size);
            out.be32(s.key ? SYNC_SAMPLE : OTHER_SAMPLE);
            out.be32(uint32_t(s.compositionOffset));
        }
        out.close(trun);
        out.close(traf);
    }
    out.close(moof);
    return bytes;
}

std::vector<TrackBox> tracks_of(const uint8_t* moov, size_t size) {
    std::vector<TrackBox> tracks;
    const std::vector<Box> top = children(moov, moov + size);
    if (top.size() != 1 || top[0].type != fourcc("moov")) return {};
    for (const Box& trak : children(top[0].body, top[0].body + top[0].size)) {
        if (trak.type != fourcc("trak")) continue;
        const std::vector<Box> inTrak = children(trak.body, trak.body + trak.size);
        const Box* tkhd = child(inTrak, fourcc("tkhd"));
        const Box* mdia = child(inTrak, fourcc("mdia"));
        if (!tkhd || !mdia || tkhd->size < 24) return {};
        const std::vector<Box> inMdia = children(mdia->body, mdia->body + mdia->size);
        const Box* mdhd = child(inMdia, fourcc("mdhd"));
        const Box* hdlr = child(inMdia, fourcc("hdlr"));
        if (!mdhd || !hdlr || mdhd->size < 24 || hdlr->size < 12) return {};
        // Version 1 headers carry 64-bit times before the fields read here.
        const size_t times = tkhd->body[0] == 1 ? 16 : 8;
        const size_t mediaTimes = mdhd->body[0] == 1 ? 16 : 8;
        TrackBox track;
        track.id = read_be32(tkhd->body + 4 + times);
        track.timescale = read_be32(mdhd->body + 4 + mediaTimes);
        track.handler = read_be32(hdlr->body + 8);
        tracks.push_back(track);
    }
    return tracks;
}

std::vector<uint8_t> top_level_box(const uint8_t* bytes, size_t size, uint32_t type) {
    for (const Box& box : children(bytes, bytes + size))
        if (box.type == type) return std::vector<uint8_t>(box.start(), box.end());
    return {};
}
