// A QuickTime movie that stays readable while it is written. The muxer writes
// an ordinary movie (media first, index at the end); in front of each half
// second of media the writer puts a movie fragment (moof) that describes it,
// after a fragmented index (moov) made by a second muxer of the same streams.
// Until the trailer the file reads as a fragmented movie, so a crash loses at
// most the last half second and what the encoders still held. At the trailer
// the muxer's own size of its media box takes in every fragment box, and the
// index it appends makes the file the ordinary movie it would have been.
#pragma once

#include "output_file.h"

#include "base/ffmpeg_ptr.h"
#include "base/log.h"

#include <deque>
#include <vector>

class CrashSafeMovie {
public:
    // After the muxer's header: hides what the header put into the media box
    // (the timecode sample) and writes an index without samples, so that the
    // file is a movie from the start. False when this movie cannot be kept
    // readable; the caller then writes it as before.
    bool start(AVFormatContext* muxer, OutputFile& file, LogSink log);
    // Takes the packet's reference; writes the queued media when a fragment
    // is due. False when the muxer fails to write (it has said why).
    bool add(AVPacket* packet);
    // Everything still queued, before the trailer.
    bool finish();
    // Where the trailer's size of the media box goes and what it must say:
    // the muxer counts only its own bytes, the box holds every fragment box
    // too, up to `indexAt` where the muxer's index begins.
    int64_t mediaBoxAt() const { return m_mediaAt - 8; }
    std::vector<uint8_t> mediaBox(int64_t indexAt) const;

private:
    struct Track {
        std::deque<PacketPtr> queue;
        uint32_t id = 0;
        int64_t firstDts = AV_NOPTS_VALUE;
        double lastSeconds = 0;  // dts of the last packet taken
        double shownUntil = -1e300;  // of the pictures written so far
        int64_t frameDuration = 1;  // for a last sample whose packet says none
    };

    double seconds(int stream, int64_t ts) const;
    bool due(double& until) const;
    bool writeFragment(double until);
    bool writeIndex(const std::vector<std::vector<PacketPtr>>& taken);
    bool describe(int64_t boxAt, uint32_t boxSize, int64_t dataAt, const std::vector<struct TrackRun>& runs);
    void stopDescribing(double from);
    bool failed(int stream, int error) const;

    AVFormatContext* m_muxer = nullptr;
    OutputFile* m_file = nullptr;
    LogSink m_log = nullptr;
    std::vector<Track> m_tracks;
    // A second muxer of the same streams, fragmented, whose index (with the
    // edit lists its first packets decide) leads the fragments.
    FormatContextPtr m_shadow;
    bool m_describing = true;
    bool m_indexWritten = false;
    int64_t m_interimIndexAt = -1;
    int64_t m_mediaAt = 0;
    int64_t m_headerSamplesAt = 0;
    uint32_t m_headerSamplesSize = 0;
    uint32_t m_timecodeTrack = 0;
    uint32_t m_sequence = 1;
    double m_lastCut = 0;
};
