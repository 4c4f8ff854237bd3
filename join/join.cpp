#include "join.h"
#include "movie_input.h"

#include "writer/FFWriter.h"

#include "base/error_text.h"
#include "base/ffmpeg_ptr.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace join {

namespace {

using OpenSegment = MovieInput;

const AVCodecParameters* pictures_of(const OpenSegment& open) { return open.video >= 0 ? open.pictures()->codecpar : nullptr; }
const AVCodecParameters* sound_of(const OpenSegment& open) { return open.audio >= 0 ? open.sound()->codecpar : nullptr; }

// A segment's index describes its streams whole; decoding pictures to learn
// more would cost the join more than the copy of a segment.
bool open_segment(const FoundSegment& segment, OpenSegment& open, LogSink log) {
    std::string why;
    if (open_movie(segment.path, false, open, why)) return true;
    log_to(log, LOG_ERROR, "QelFFmpegWriter: cannot read the segment <%s>: %s", segment.path.c_str(), why.c_str());
    return false;
}

bool same_pictures(const AVCodecParameters* a, const AVCodecParameters* b) {
    if (!a || !b) return a == b;
    return a->codec_id == b->codec_id && a->width == b->width && a->height == b->height && a->format == b->format &&
           a->extradata_size == b->extradata_size &&
           (a->extradata_size == 0 || std::memcmp(a->extradata, b->extradata, size_t(a->extradata_size)) == 0);
}

bool same_sound(const AVCodecParameters* a, const AVCodecParameters* b) {
    if (!a || !b) return a == b;
    return a->codec_id == b->codec_id && a->sample_rate == b->sample_rate &&
           a->ch_layout.nb_channels == b->ch_layout.nb_channels;
}

// One segment into the writer: its pictures as they are, its sound as the
// host gave it.
bool copy_segment(FFWriter& writer, const FoundSegment& segment, OpenSegment& open, int64_t frameOffset,
                  LogSink log) {
    AVFormatContext* input = open.input.get();
    PacketPtr packet(av_packet_alloc());
    int64_t frames = 0, soundBytes = 0;
    int result = 0;
    while (packet && (result = av_read_frame(input, packet.get())) >= 0) {
        bool ok = true;
        if (packet->stream_index == open.video) {
            ++frames;
            ok = writer.writeVideoPacket(packet.get(), input->streams[open.video]->time_base, frameOffset);
        } else if (packet->stream_index == open.audio) {
            soundBytes += packet->size;
            ok = writer.writeAudio(packet->data, packet->size);
        }
        av_packet_unref(packet.get());
        if (!ok) return false;  // the writer has said why
    }
    if (!packet || (result < 0 && result != AVERROR_EOF)) {
        log_to(log, LOG_ERROR, "QelFFmpegWriter: cannot read the segment <%s>: %s", segment.path.c_str(),
               ffmpeg_error_text(packet ? result : AVERROR(ENOMEM)));
        return false;
    }
    if (frames != segment.manifest.frames || soundBytes != segment.manifest.soundBytes) {
        log_to(log, LOG_ERROR,
               "QelFFmpegWriter: the segment <%s> holds %lld frames and %lld bytes of sound, its manifest says %lld "
               "and %lld",
               segment.path.c_str(), (long long)frames, (long long)soundBytes, (long long)segment.manifest.frames,
               (long long)segment.manifest.soundBytes);
        return false;
    }
    return true;
}

// Every segment read and held against the first before anything is written.
bool open_all(const SegmentSet& set, std::vector<OpenSegment>& opened, LogSink log) {
    opened.resize(set.segments.size());
    for (size_t i = 0; i < set.segments.size(); ++i) {
        if (!open_segment(set.segments[i], opened[i], log)) return false;
        if (same_pictures(pictures_of(opened[i]), pictures_of(opened[0])) && same_sound(sound_of(opened[i]), sound_of(opened[0])))
            continue;
        log_to(log, LOG_ERROR,
               "QelFFmpegWriter: the segment <%s> was coded otherwise than <%s>, though their manifests agree: its "
               "pictures or its sound differ",
               set.segments[i].path.c_str(), set.segments[0].path.c_str());
        return false;
    }
    return true;
}

}  // namespace

bool join_segments(const JoinRequest& request) {
    SegmentSet set;
    std::string why;
    if (!find_segments(request.output, request.expected, set, why)) {
        log_to(request.log, LOG_ERROR, "QelFFmpegWriter: %s", why.c_str());
        return false;
    }
    StoredSettings stored;
    if (!stored.parse(set.segments.front().manifest, why)) {
        log_to(request.log, LOG_ERROR, "QelFFmpegWriter: <%s> cannot be joined: %s", set.segments.front().path.c_str(),
               why.c_str());
        return false;
    }
    std::vector<OpenSegment> opened;
    if (!open_all(set, opened, request.log)) return false;
    std::error_code error;
    if (fs::exists(request.output, error))
        log_to(request.log, LOG_INFO,
               "QelFFmpegWriter: <%s> is there already; the joined movie replaces it once it is finished",
               request.output.c_str());

    WriterSettings settings = stored.settings();
    settings.copyVideo = true;
    if (const AVCodecParameters* pictures = pictures_of(opened.front())) {
        settings.videoExtradata = pictures->extradata;
        settings.videoExtradataSize = pictures->extradata_size;
    }
    FFWriter writer(request.log);
    if (!writer.open(request.output.c_str(), settings)) {
        log_to(request.log, LOG_ERROR, "QelFFmpegWriter: the joined movie <%s> could not be opened",
               request.output.c_str());
        return false;
    }
    const int64_t firstFrame = set.segments.front().manifest.firstFrame;
    for (size_t i = 0; i < set.segments.size(); ++i) {
        const FoundSegment& segment = set.segments[i];
        const bool copied = copy_segment(writer, segment, opened[i], segment.manifest.firstFrame - firstFrame, request.log);
        opened[i].input.reset();
        if (copied) continue;
        const int error = writer.fileError();
        writer.discard();
        if (error < 0)
            log_to(request.log, LOG_ERROR, "QelFFmpegWriter: <%s> cannot be written: %s", request.output.c_str(),
                   ffmpeg_error_text(error));
        log_to(request.log, LOG_ERROR, "QelFFmpegWriter: nothing is joined; the segments in <%s> stay",
               set.folder.c_str());
        return false;
    }
    if (!writer.close()) {
        log_to(request.log, LOG_ERROR, "QelFFmpegWriter: <%s> is not joined; the segments in <%s> stay",
               request.output.c_str(), set.folder.c_str());
        return false;
    }
    const int64_t end = set.segments.back().end();
    log_to(request.log, LOG_INFO, "QelFFmpegWriter: joined %zu segments, frames %lld to %lld, into <%s>",
           set.segments.size(), (long long)firstFrame, (long long)(end - 1), request.output.c_str());
    if (!request.keepSegments) {
        fs::remove_all(set.folder, error);
        if (error)
            log_to(request.log, LOG_WARNING, "QelFFmpegWriter: the segments in <%s> could not be removed: %s",
                   set.folder.c_str(), error.message().c_str());
    }
    return true;
}

}  // namespace join
