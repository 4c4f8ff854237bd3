// The encoders' packets, handed to the muxer in batches of about half a
// second, each followed by a flush to the kernel: a crash then loses at most
// the batch being gathered. A batch holds the pictures up to a time every
// stream has reached, and the sound as far as those pictures are shown, so
// that what a crash leaves of both ends together.
#pragma once

#include "base/ffmpeg_ptr.h"

#include <deque>
#include <vector>

struct MediaBatch {
    // Per stream, in decode order, with each packet's duration in the
    // stream's time base: to the next packet where that one is known.
    std::vector<std::vector<PacketPtr>> packets;
    std::vector<std::vector<int64_t>> durations;
    // Each stream's first dts in the whole output, where its decode times count from.
    std::vector<int64_t> firstDts;
    bool first = false;  // the output's first batch
};

class MediaBatches {
public:
    // For the streams of a muxer whose header is written.
    explicit MediaBatches(const AVFormatContext& muxer);

    // Takes the packet's reference, into a packet handed back before where
    // there is one: after the first batches no packet is allocated.
    bool add(AVPacket* packet);
    // A batch is due: the first as soon as every stream has something to give
    // (so that a movie shows pictures early), then every half second.
    bool due() const;
    // Fills `batch` (emptied by giveBack) with the batch that is due, or with
    // `everything`, all there is.
    void take(MediaBatch& batch, bool everything = false);
    // The packets of a batch that was written, kept for those to come.
    void giveBack(MediaBatch& batch);

private:
    // A time in some stream's time base, compared exactly.
    struct Moment {
        int64_t ts;
        AVRational timeBase;
        bool operator<(const Moment& other) const { return av_compare_ts(ts, timeBase, other.ts, other.timeBase) < 0; }
        double seconds() const { return double(ts) * av_q2d(timeBase); }
    };
    struct Stream {
        std::deque<PacketPtr> queue;
        AVRational timeBase{1, 1};
        bool video = false;
        int64_t firstDts = AV_NOPTS_VALUE;
        int64_t lastDts = AV_NOPTS_VALUE;  // of the last packet added
        int64_t frameDuration = 1;         // for a last packet that says none
        // Pictures: when the first was shown, how many were taken, and the
        // highest place among them in the order they are shown.
        int64_t firstShown = AV_NOPTS_VALUE;
        int64_t picturesTaken = 0;
        int64_t highestPlace = -1;
        Moment at(int64_t ts) const { return {ts, timeBase}; }
        bool begun() const { return firstDts != AV_NOPTS_VALUE; }
    };

    // The time every stream that goes on has reached; false before each has begun.
    bool reached(Moment& until) const;
    // Hands back the last pictures of `taken` that are shown after one still
    // to come, and tells when the next picture to take is shown.
    static void closePictures(Stream& stream, std::vector<PacketPtr>& taken, Moment& shownUntil);

    std::vector<Stream> m_streams;
    std::vector<PacketPtr> m_spare;
    bool m_taken = false;
    Moment m_lastCut{0, {1, 1}};
};
