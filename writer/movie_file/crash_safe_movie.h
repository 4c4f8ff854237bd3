// A QuickTime movie that stays readable while it is written. The muxer writes
// an ordinary movie (media first, index at the end); in front of each batch of
// media the writer puts a movie fragment (moof) that describes it, after a
// fragmented index (moov) made by a second muxer of the same streams. Until
// the trailer the file reads as a fragmented movie, so a crash loses at most
// the batch being gathered and what the encoders still held. At the trailer
// the media box is sized over every fragment box, and the muxer's own index
// behind it makes the file the ordinary movie it would have been.
#pragma once

#include "writer/movie_file/media_batches.h"
#include "writer/movie_file/output_file.h"

#include "base/log.h"

#include <vector>

struct TrackRun;

class CrashSafeMovie {
public:
    // After the muxer's header: hides what the header put into the media box
    // (the timecode sample) and writes an index without samples, so that the
    // file is a movie from the start. False when this movie cannot be kept
    // readable; the caller then writes it as before.
    bool start(AVFormatContext* muxer, OutputFile& file, LogSink log);
    // Writes the batch through the muxer, described by a fragment. False
    // when the muxer fails to write (it has said why).
    bool write(MediaBatch& batch);
    // Where the trailer's size of the media box goes and what it must say:
    // the muxer counts only its own bytes, the box holds every fragment box
    // too, up to `indexAt` where the muxer's index begins.
    int64_t mediaBoxAt() const { return m_mediaAt - 8; }
    std::vector<uint8_t> mediaBox(int64_t indexAt) const;

private:
    bool writeIndex(const MediaBatch& batch);
    bool describe(int64_t boxAt, uint32_t boxSize, int64_t dataAt, const std::vector<TrackRun>& runs);
    void stopDescribing();
    bool failed(int stream, int error) const;

    AVFormatContext* m_muxer = nullptr;
    OutputFile* m_file = nullptr;
    LogSink m_log = nullptr;
    std::vector<uint32_t> m_trackIds;
    bool m_describing = true;
    int64_t m_interimIndexAt = -1;
    int64_t m_mediaAt = 0;
    int64_t m_headerSamplesAt = 0;
    uint32_t m_headerSamplesSize = 0;
    uint32_t m_timecodeTrack = 0;
    uint32_t m_sequence = 1;
};
