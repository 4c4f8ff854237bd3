#include "crash_safe_movie.h"

#include "fragment_boxes.h"

#include "base/error_text.h"
#include "faststart/atoms.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

using faststart::fourcc;
using faststart::read_be32;
using faststart::write_be32;

namespace {

// A crash loses at most this much beyond what the encoders hold.
constexpr double FRAGMENT_SECONDS = 0.5;
// A stream this far behind the others is taken to have stopped (an audio
// encoder that failed): the others do not wait for it.
constexpr double STALLED_SECONDS = 10;
// What a muxer's header may write before its media; more is not a movie
// header this writer knows.
constexpr int64_t MAX_HEADER = 1 << 16;

std::vector<uint8_t> box_header(uint32_t size, uint32_t type) {
    std::vector<uint8_t> header(8);
    write_be32(header.data(), size);
    write_be32(header.data() + 4, type);
    return header;
}

// A muxer of the same container and streams writing to memory.
class MemoryMuxer {
public:
    ~MemoryMuxer() { take(); }

    bool open(const AVFormatContext& like, const char* movflags) {
        AVFormatContext* made = nullptr;
        if (avformat_alloc_output_context2(&made, like.oformat, nullptr, nullptr) < 0 || !made) return false;
        m_context.reset(made);
        made->strict_std_compliance = like.strict_std_compliance;
        av_dict_copy(&made->metadata, like.metadata, 0);
        for (unsigned i = 0; i < like.nb_streams; ++i) {
            const AVStream* from = like.streams[i];
            AVStream* to = avformat_new_stream(made, nullptr);
            if (!to || avcodec_parameters_copy(to->codecpar, from->codecpar) < 0) return false;
            to->time_base = from->time_base;
            to->avg_frame_rate = from->avg_frame_rate;
            to->r_frame_rate = from->r_frame_rate;
            to->sample_aspect_ratio = from->sample_aspect_ratio;
            to->disposition = from->disposition;
            av_dict_copy(&to->metadata, from->metadata, 0);
        }
        if (avio_open_dyn_buf(&made->pb) < 0) return false;
        Dictionary options;
        av_dict_set(options.address(), "movflags", movflags, 0);
        return avformat_write_header(made, options.address()) >= 0;
    }
    AVFormatContext* get() const { return m_context.get(); }
    // What it wrote; its memory is closed.
    std::vector<uint8_t> take() {
        std::vector<uint8_t> bytes;
        if (!m_context || !m_context->pb) return bytes;
        uint8_t* data = nullptr;
        const int size = avio_close_dyn_buf(m_context->pb, &data);
        m_context->pb = nullptr;
        if (data && size > 0) bytes.assign(data, data + size);
        av_free(data);
        return bytes;
    }

private:
    FormatContextPtr m_context;
};

// The fragmented index a muxer of these streams writes once it has seen
// `packets` (none: an index without edit lists, for a file with no media yet).
std::vector<uint8_t> fragmented_index(const AVFormatContext& muxer, const std::vector<std::vector<PacketPtr>>& packets) {
    MemoryMuxer shadow;
    if (!shadow.open(muxer, "frag_custom+delay_moov")) return {};
    for (size_t stream = 0; stream < packets.size(); ++stream)
        for (const PacketPtr& packet : packets[stream]) {
            PacketPtr copy(av_packet_clone(packet.get()));
            if (!copy) return {};
            copy->stream_index = int(stream);
            if (av_write_frame(shadow.get(), copy.get()) < 0) return {};
        }
    // A null packet cuts the fragment, which first writes the index.
    if (av_write_frame(shadow.get(), nullptr) < 0) return {};
    const std::vector<uint8_t> written = shadow.take();
    return top_level_box(written.data(), written.size(), fourcc("moov"));
}

}  // namespace

bool CrashSafeMovie::start(AVFormatContext* muxer, OutputFile& file, LogSink log) {
    m_muxer = muxer;
    m_file = &file;
    m_log = log;
    AVIOContext* io = muxer->pb;
    avio_flush(io);
    const int64_t headerEnd = avio_tell(io);
    if (io->error < 0 || headerEnd <= 0 || headerEnd > MAX_HEADER) return false;
    std::vector<uint8_t> header(size_t(headerEnd), 0);
    if (!file.read(0, header.data(), header.size())) return false;

    // The media box the muxer opened, sized at the trailer; behind its header
    // only what the header itself wrote (the timecode track's sample).
    int64_t mediaAt = -1;
    for (int64_t at = 0; at + 8 <= headerEnd;) {
        const uint32_t size = read_be32(&header[size_t(at)]);
        if (read_be32(&header[size_t(at) + 4]) == fourcc("mdat")) {
            mediaAt = at;
            break;
        }
        if (size < 8) return false;
        at += size;
    }
    // The eight bytes in front of it (a free or wide box) make room for a
    // 64-bit size, as the muxer itself would use them.
    if (mediaAt < 8) return false;
    m_mediaAt = mediaAt;
    m_headerSamplesAt = mediaAt + 8;
    m_headerSamplesSize = uint32_t(headerEnd - m_headerSamplesAt);

    m_tracks = std::vector<Track>(muxer->nb_streams);
    for (unsigned i = 0; i < muxer->nb_streams; ++i) {
        const AVStream* stream = muxer->streams[i];
        const AVCodecParameters* parameters = stream->codecpar;
        int64_t duration = 0;
        if (parameters->codec_type == AVMEDIA_TYPE_VIDEO && stream->avg_frame_rate.num > 0)
            duration = av_rescale_q(1, av_inv_q(stream->avg_frame_rate), stream->time_base);
        else if (parameters->codec_type == AVMEDIA_TYPE_AUDIO && parameters->frame_size > 0 && parameters->sample_rate > 0)
            duration = av_rescale_q(parameters->frame_size, AVRational{1, parameters->sample_rate}, stream->time_base);
        m_tracks[i].frameDuration = duration > 0 ? duration : 1;
    }

    const std::vector<uint8_t> hide = box_header(uint32_t(headerEnd - mediaAt), fourcc("free"));
    if (!file.patch(mediaAt, hide.data(), hide.size())) return false;
    // An empty movie until the first fragment; some codecs (AC-3) cannot be
    // described before their first packet, and then the file waits for it.
    const std::vector<uint8_t> interim = fragmented_index(*muxer, {});
    if (!interim.empty()) {
        m_interimIndexAt = avio_tell(io);
        avio_write(io, interim.data(), int(interim.size()));
        avio_flush(io);
    }
    m_lastCut = -std::numeric_limits<double>::infinity();
    return io->error >= 0;
}

double CrashSafeMovie::seconds(int stream, int64_t ts) const {
    return double(ts) * av_q2d(m_muxer->streams[stream]->time_base);
}

bool CrashSafeMovie::add(AVPacket* packet) {
    Track& track = m_tracks[size_t(packet->stream_index)];
    PacketPtr queued(av_packet_alloc());
    if (!queued) return false;
    av_packet_move_ref(queued.get(), packet);
    if (track.firstDts == AV_NOPTS_VALUE) track.firstDts = queued->dts;
    track.lastSeconds = seconds(queued->stream_index, queued->dts);
    track.queue.push_back(std::move(queued));
    double until = 0;
    return !due(until) || writeFragment(until);
}

// Everything before `until` is known for every stream that goes on: the
// earliest of the streams' latest packets.
bool CrashSafeMovie::due(double& until) const {
    double latest = -std::numeric_limits<double>::infinity(), earliest = -latest;
    for (const Track& track : m_tracks)
        if (track.firstDts != AV_NOPTS_VALUE) {
            latest = std::max(latest, track.lastSeconds);
            earliest = std::min(earliest, track.lastSeconds);
        }
    if (std::isinf(latest)) return false;
    const auto going_on = [&](const Track& track) {
        return latest - (track.firstDts != AV_NOPTS_VALUE ? track.lastSeconds : earliest) <= STALLED_SECONDS;
    };
    until = latest;
    for (const Track& track : m_tracks) {
        if (!going_on(track)) continue;
        if (track.firstDts == AV_NOPTS_VALUE) return false;
        until = std::min(until, track.lastSeconds);
    }
    if (m_indexWritten) return until - m_lastCut >= FRAGMENT_SECONDS;
    // The first fragment as soon as every stream has something to give, so
    // that the movie shows pictures early.
    for (size_t i = 0; i < m_tracks.size(); ++i)
        if (going_on(m_tracks[i]) &&
            (m_tracks[i].queue.empty() || seconds(int(i), m_tracks[i].queue.front()->dts) >= until))
            return false;
    return true;
}

bool CrashSafeMovie::finish() {
    return writeFragment(std::numeric_limits<double>::infinity());
}

std::vector<uint8_t> CrashSafeMovie::mediaBox(int64_t indexAt) const {
    const uint64_t size = uint64_t(indexAt - m_mediaAt);
    if (size <= UINT32_MAX) {
        std::vector<uint8_t> box = box_header(uint32_t(8), fourcc("wide"));
        const std::vector<uint8_t> media = box_header(uint32_t(size), fourcc("mdat"));
        if (m_muxer->oformat && std::string(m_muxer->oformat->name) != "mov") write_be32(box.data() + 4, fourcc("free"));
        box.insert(box.end(), media.begin(), media.end());
        return box;
    }
    std::vector<uint8_t> box = box_header(1, fourcc("mdat"));
    box.resize(16);
    faststart::write_be64(box.data() + 8, size + 8);
    return box;
}

bool CrashSafeMovie::writeFragment(double until) {
    // Pictures up to `until`, and sound as far as those pictures are shown,
    // so that what a crash leaves of both ends together.
    std::vector<std::vector<PacketPtr>> taken(m_tracks.size());
    const bool everything = std::isinf(until);
    double shownUntil = std::numeric_limits<double>::infinity();
    bool pictures = false;
    for (size_t i = 0; i < m_tracks.size(); ++i) {
        if (m_muxer->streams[i]->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
        Track& track = m_tracks[i];
        while (!track.queue.empty() && (everything || seconds(int(i), track.queue.front()->dts) < until)) {
            const AVPacket* packet = track.queue.front().get();
            const int64_t pts = packet->pts == AV_NOPTS_VALUE ? packet->dts : packet->pts;
            track.shownUntil = std::max(track.shownUntil, seconds(int(i), pts + std::max<int64_t>(packet->duration, 0)));
            taken[i].push_back(std::move(track.queue.front()));
            track.queue.pop_front();
        }
        pictures = true;
        shownUntil = std::min(shownUntil, track.shownUntil);
    }
    bool any = false;
    for (size_t i = 0; i < m_tracks.size(); ++i) {
        std::deque<PacketPtr>& queue = m_tracks[i].queue;
        const double limit = pictures ? shownUntil : until;
        while (!queue.empty() && (everything || seconds(int(i), queue.front()->pts == AV_NOPTS_VALUE
                                                                    ? queue.front()->dts
                                                                    : queue.front()->pts) < limit)) {
            taken[i].push_back(std::move(queue.front()));
            queue.pop_front();
        }
        any = any || !taken[i].empty();
    }
    if (!any) return true;
    m_lastCut = until;

    // Each sample lasts until the next packet's dts; the last one as its
    // packet says.
    std::vector<std::vector<uint32_t>> durations(m_tracks.size());
    for (size_t i = 0; i < m_tracks.size(); ++i)
        for (size_t k = 0; k < taken[i].size(); ++k) {
            const AVPacket* packet = taken[i][k].get();
            const AVPacket* next = k + 1 < taken[i].size() ? taken[i][k + 1].get()
                                   : m_tracks[i].queue.empty() ? nullptr
                                                               : m_tracks[i].queue.front().get();
            const int64_t span = next ? next->dts - packet->dts
                                 : packet->duration > 0 ? packet->duration
                                                        : m_tracks[i].frameDuration;
            durations[i].push_back(uint32_t(std::clamp<int64_t>(span, 1, UINT32_MAX)));
        }

    AVIOContext* io = m_muxer->pb;
    const bool firstFragment = !m_indexWritten;
    if (firstFragment) {
        m_indexWritten = true;
        if (m_describing && !writeIndex(taken)) stopDescribing(until);
    }
    // Room for the fragment's moof, filled in once its media is on disk;
    // until then a free box, and a media box open to the end of the file.
    std::vector<size_t> counts;
    for (const auto& packets : taken)
        if (!packets.empty()) counts.push_back(packets.size());
    if (firstFragment && m_timecodeTrack && m_headerSamplesSize > 0) counts.push_back(1);
    const uint32_t boxSize = moof_size(counts);
    const int64_t boxAt = avio_tell(io);
    if (m_describing) {
        const std::vector<uint8_t> room = box_header(boxSize, fourcc("free"));
        avio_write(io, room.data(), int(room.size()));
        for (uint32_t i = 8; i < boxSize; ++i) avio_w8(io, 0);
    }
    if (m_describing || firstFragment) {
        const std::vector<uint8_t> media = box_header(0, fourcc("mdat"));
        avio_write(io, media.data(), int(media.size()));
    }
    const int64_t dataAt = avio_tell(io);

    std::vector<TrackRun> runs;
    int lastStream = 0;
    if (firstFragment && m_timecodeTrack && m_headerSamplesSize > 0)
        runs.push_back({m_timecodeTrack, 0, {{m_headerSamplesAt, m_headerSamplesSize, 1, 0, true}}});
    for (size_t i = 0; i < m_tracks.size(); ++i) {
        if (taken[i].empty()) continue;
        TrackRun run{m_tracks[i].id, uint64_t(taken[i].front()->dts - m_tracks[i].firstDts), {}};
        lastStream = int(i);
        for (size_t k = 0; k < taken[i].size(); ++k) {
            AVPacket* packet = taken[i][k].get();
            const int64_t pts = packet->pts == AV_NOPTS_VALUE ? packet->dts : packet->pts;
            const FragmentSample sample{avio_tell(io), 0, durations[i][k], int32_t(pts - packet->dts),
                                        (packet->flags & AV_PKT_FLAG_KEY) != 0};
            const int result = av_write_frame(m_muxer, packet);
            if (result < 0) return failed(int(i), result);
            // Nothing written: a bitstream filter holds the packet and hands
            // it on with the next one, which then stands for both.
            const int64_t written = avio_tell(io) - sample.position;
            if (written <= 0) continue;
            run.samples.push_back(sample);
            run.samples.back().size = uint32_t(written);
        }
        if (!run.samples.empty()) runs.push_back(std::move(run));
    }
    // Handed to the kernel: a crash of the process loses none of it.
    avio_flush(io);
    if (io->error < 0) return failed(lastStream, io->error);
    if (m_describing && !describe(boxAt, boxSize, dataAt, runs)) stopDescribing(until);
    return true;
}

bool CrashSafeMovie::failed(int stream, int error) const {
    const bool video = m_muxer->streams[stream]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
    log_to(m_log, LOG_ERROR,
           video ? "QelFFmpegWriter: Error writing video frame: %s" : "QelFFmpegWriter: Error while writing audio frame: %s",
           ffmpeg_error_text(error));
    return false;
}

// The open media box then hides everything after it: the file stays the
// movie it was up to here, and the trailer still finishes it.
void CrashSafeMovie::stopDescribing(double from) {
    m_describing = false;
    log_to(m_log, LOG_WARNING,
           "QelFFmpegWriter: <%s> cannot be kept readable while it is written: a crash would lose its media from "
           "%.1f s on",
           m_file->path().c_str(), std::isinf(from) ? 0.0 : from);
}

// Fills in the room left in front of the media with the moof that describes
// it, then closes the media box. Until both are on disk the file ends at the
// previous fragment.
bool CrashSafeMovie::describe(int64_t boxAt, uint32_t boxSize, int64_t dataAt, const std::vector<TrackRun>& runs) {
    std::vector<uint8_t> box = runs.empty() ? std::vector<uint8_t>{} : moof_box(m_sequence, runs);
    if (box.empty() && !runs.empty()) return false;
    const uint32_t rest = boxSize - uint32_t(box.size());
    if (box.size() > boxSize || (rest > 0 && rest < 8)) return false;
    if (rest > 0) {
        const std::vector<uint8_t> padding = box_header(rest, fourcc("free"));
        box.insert(box.end(), padding.begin(), padding.end());
    }
    const int64_t dataSize = avio_tell(m_muxer->pb) - dataAt;
    if (dataSize + 8 > int64_t(UINT32_MAX)) return false;
    const std::vector<uint8_t> media = box_header(uint32_t(dataSize + 8), fourcc("mdat"));
    if (!m_file->patch(boxAt, box.data(), box.size()) || !m_file->patch(boxAt + boxSize, media.data(), media.size()))
        return false;
    // The index with edit lists leads from now on.
    if (m_interimIndexAt >= 0) {
        uint8_t type[4];
        write_be32(type, fourcc("free"));
        if (!m_file->patch(m_interimIndexAt + 4, type, sizeof type)) return false;
        m_interimIndexAt = -1;
    }
    if (!runs.empty()) ++m_sequence;
    return true;
}

// The fragmented index the first packets decide, written in front of the
// first fragment. It names the tracks the fragments refer to.
bool CrashSafeMovie::writeIndex(const std::vector<std::vector<PacketPtr>>& taken) {
    const std::vector<uint8_t> index = fragmented_index(*m_muxer, taken);
    const std::vector<TrackBox> tracks = tracks_of(index.data(), index.size());
    if (tracks.size() < m_tracks.size()) return false;
    for (size_t i = 0; i < m_tracks.size(); ++i) {
        const AVRational timeBase = m_muxer->streams[i]->time_base;
        if (timeBase.num != 1 || uint32_t(timeBase.den) != tracks[i].timescale) return false;
        m_tracks[i].id = tracks[i].id;
    }
    for (size_t i = m_tracks.size(); i < tracks.size(); ++i)
        if (tracks[i].handler == fourcc("tmcd")) m_timecodeTrack = tracks[i].id;
    avio_write(m_muxer->pb, index.data(), int(index.size()));
    return true;
}
