#include "writer/movie_file/crash_safe_movie.h"

#include "writer/movie_file/fragment_boxes.h"

#include "base/compat.h"
#include "base/error_text.h"
#include "boxes/boxes.h"

#include <algorithm>
#include <string>

using boxes::fourcc;
using boxes::read_be32;
using boxes::write_be32;

namespace {

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
            if (!ffcompat::copy_stream_side_data(*from, *to)) return false;
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

// The fragmented index a muxer of these streams writes once it has seen the
// first packet of each (its edit lists start there); with none, an index
// without edit lists, for a file with no media yet.
std::vector<uint8_t> fragmented_index(const AVFormatContext& muxer, const std::vector<std::vector<PacketPtr>>& packets = {}) {
    MemoryMuxer shadow;
    if (!shadow.open(muxer, "frag_custom+delay_moov")) return {};
    for (size_t stream = 0; stream < packets.size(); ++stream) {
        if (packets[stream].empty()) continue;
        PacketPtr copy(av_packet_clone(packets[stream].front().get()));
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

    const std::vector<uint8_t> hide = box_header(uint32_t(headerEnd - mediaAt), fourcc("free"));
    if (!file.patch(mediaAt, hide.data(), hide.size())) return false;
    // An empty movie until the first fragment. AC-3 cannot be described
    // before its first packet (and the muxer, asked, loses memory): such a
    // file waits for it.
    bool describable = true;
    for (unsigned i = 0; i < muxer->nb_streams; ++i) {
        const AVCodecID codec = muxer->streams[i]->codecpar->codec_id;
        describable = describable && codec != AV_CODEC_ID_AC3 && codec != AV_CODEC_ID_EAC3;
    }
    const std::vector<uint8_t> interim = describable ? fragmented_index(*muxer) : std::vector<uint8_t>{};
    if (!interim.empty()) {
        m_interimIndexAt = avio_tell(io);
        avio_write(io, interim.data(), int(interim.size()));
        avio_flush(io);
    }
    return io->error >= 0;
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
    boxes::write_be64(box.data() + 8, size + 8);
    return box;
}

bool CrashSafeMovie::write(MediaBatch& batch) {
    const size_t streams = batch.packets.size();
    if (batch.first && m_describing && !writeIndex(batch)) stopDescribing();
    // Room for the fragment's moof, filled in once its media is on disk;
    // until then a free box, and a media box open to the end of the file.
    std::vector<size_t> counts;
    for (const auto& packets : batch.packets)
        if (!packets.empty()) counts.push_back(packets.size());
    const bool timecode = batch.first && m_timecodeTrack && m_headerSamplesSize > 0;
    if (timecode) counts.push_back(1);
    AVIOContext* io = m_muxer->pb;
    const uint32_t boxSize = moof_size(counts);
    const int64_t boxAt = avio_tell(io);
    if (m_describing) {
        const std::vector<uint8_t> room = box_header(boxSize, fourcc("free"));
        avio_write(io, room.data(), int(room.size()));
        for (uint32_t i = 8; i < boxSize; ++i) avio_w8(io, 0);
    }
    if (m_describing || batch.first) {
        const std::vector<uint8_t> media = box_header(0, fourcc("mdat"));
        avio_write(io, media.data(), int(media.size()));
    }
    const int64_t dataAt = avio_tell(io);

    std::vector<TrackRun> runs;
    if (timecode) runs.push_back({m_timecodeTrack, 0, {{m_headerSamplesAt, m_headerSamplesSize, 1, 0, true}}});
    int lastStream = 0;
    for (size_t i = 0; i < streams; ++i) {
        std::vector<PacketPtr>& packets = batch.packets[i];
        if (packets.empty()) continue;
        lastStream = int(i);
        TrackRun run{i < m_trackIds.size() ? m_trackIds[i] : 0, uint64_t(packets.front()->dts - batch.firstDts[i]), {}};
        for (size_t k = 0; k < packets.size(); ++k) {
            AVPacket* packet = packets[k].get();
            const int64_t pts = packet->pts == AV_NOPTS_VALUE ? packet->dts : packet->pts;
            const FragmentSample sample{avio_tell(io), 0, uint32_t(std::min<int64_t>(batch.durations[i][k], UINT32_MAX)),
                                        int32_t(pts - packet->dts), (packet->flags & AV_PKT_FLAG_KEY) != 0};
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
    if (m_describing && !describe(boxAt, boxSize, dataAt, runs)) stopDescribing();
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
void CrashSafeMovie::stopDescribing() {
    m_describing = false;
    log_to(m_log, LOG_WARNING,
           "QelFFmpegWriter: <%s> cannot be kept readable while it is written any more: a crash would lose what "
           "comes next",
           m_file->path().c_str());
}

// Fills in the room left in front of the media with the moof that describes
// it, then closes the media box. Until both are on disk the file ends at the
// previous fragment.
bool CrashSafeMovie::describe(int64_t boxAt, uint32_t boxSize, int64_t dataAt, const std::vector<TrackRun>& runs) {
    std::vector<uint8_t> box = runs.empty() ? std::vector<uint8_t>{} : moof_box(m_sequence, runs);
    if ((box.empty() && !runs.empty()) || box.size() > boxSize) return false;
    const uint32_t rest = boxSize - uint32_t(box.size());
    if (rest > 0 && rest < 8) return false;
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
bool CrashSafeMovie::writeIndex(const MediaBatch& batch) {
    const std::vector<uint8_t> index = fragmented_index(*m_muxer, batch.packets);
    const std::vector<TrackBox> tracks = tracks_of(index.data(), index.size());
    const size_t streams = m_muxer->nb_streams;
    if (tracks.size() < streams) return false;
    m_trackIds.clear();
    for (size_t i = 0; i < streams; ++i) {
        const AVRational timeBase = m_muxer->streams[i]->time_base;
        if (timeBase.num != 1 || uint32_t(timeBase.den) != tracks[i].timescale) return false;
        m_trackIds.push_back(tracks[i].id);
    }
    for (size_t i = streams; i < tracks.size(); ++i)
        if (tracks[i].handler == fourcc("tmcd")) m_timecodeTrack = tracks[i].id;
    avio_write(m_muxer->pb, index.data(), int(index.size()));
    return true;
}
