#include "writer/movie_file/media_batches.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace {

constexpr double BATCH_SECONDS = 0.5;
// A stream this far behind the others is taken to have stopped (an audio
// encoder that failed): the others do not wait for it.
constexpr double STALLED_SECONDS = 10;
// No encoder shows a picture more than this many pictures after it was coded;
// past it a picture never came (an encoder that drops frames), and the
// batch is taken as it stands.
constexpr size_t MOST_REORDERED = 32;

int64_t shown_at(const AVPacket& packet) { return packet.pts == AV_NOPTS_VALUE ? packet.dts : packet.pts; }

}  // namespace

MediaBatches::MediaBatches(const AVFormatContext& muxer) : m_streams(muxer.nb_streams) {
    for (unsigned i = 0; i < muxer.nb_streams; ++i) {
        const AVStream* from = muxer.streams[i];
        const AVCodecParameters* parameters = from->codecpar;
        Stream& stream = m_streams[i];
        stream.timeBase = from->time_base;
        stream.video = parameters->codec_type == AVMEDIA_TYPE_VIDEO;
        int64_t duration = 0;
        if (stream.video && from->avg_frame_rate.num > 0)
            duration = av_rescale_q(1, av_inv_q(from->avg_frame_rate), from->time_base);
        else if (parameters->frame_size > 0 && parameters->sample_rate > 0)
            duration = av_rescale_q(parameters->frame_size, AVRational{1, parameters->sample_rate}, from->time_base);
        stream.frameDuration = std::max<int64_t>(duration, 1);
    }
}

bool MediaBatches::add(AVPacket* packet) {
    PacketPtr queued;
    if (!m_spare.empty()) {
        queued = std::move(m_spare.back());
        m_spare.pop_back();
    } else {
        queued.reset(av_packet_alloc());
    }
    if (!queued) return false;
    av_packet_move_ref(queued.get(), packet);
    Stream& stream = m_streams[size_t(queued->stream_index)];
    if (!stream.begun()) stream.firstDts = queued->dts;
    stream.lastDts = queued->dts;
    stream.queue.push_back(std::move(queued));
    return true;
}

bool MediaBatches::reached(Moment& until) const {
    const Stream* latest = nullptr;
    const Stream* earliest = nullptr;
    for (const Stream& stream : m_streams)
        if (stream.begun()) {
            if (!latest || latest->at(latest->lastDts) < stream.at(stream.lastDts)) latest = &stream;
            if (!earliest || stream.at(stream.lastDts) < earliest->at(earliest->lastDts)) earliest = &stream;
        }
    if (!latest) return false;
    const double latestSeconds = latest->at(latest->lastDts).seconds();
    until = latest->at(latest->lastDts);
    for (const Stream& stream : m_streams) {
        const Stream& behind = stream.begun() ? stream : *earliest;
        if (latestSeconds - behind.at(behind.lastDts).seconds() > STALLED_SECONDS) continue;
        if (!stream.begun()) return false;
        until = std::min(until, stream.at(stream.lastDts));
    }
    return true;
}

bool MediaBatches::due() const {
    Moment until{};
    if (!reached(until)) return false;
    if (m_taken) return until.seconds() - m_lastCut.seconds() >= BATCH_SECONDS;
    for (const Stream& stream : m_streams)
        if (stream.begun() && (stream.queue.empty() || !(stream.at(stream.queue.front()->dts) < until))) return false;
    return true;
}

// With B-frames a picture's packet comes before those of pictures shown
// earlier: a batch ends where every picture shown before its last one is in
// it, so that what a crash leaves plays without a hole, its sound with it.
void MediaBatches::closePictures(Stream& stream, std::vector<PacketPtr>& taken, Moment& shownUntil) {
    if (taken.empty()) {
        for (const PacketPtr& packet : stream.queue) shownUntil = std::min(shownUntil, stream.at(shown_at(*packet)));
        return;
    }
    if (stream.firstShown == AV_NOPTS_VALUE) stream.firstShown = shown_at(*taken.front());
    const auto place_of = [&](const AVPacket& packet) {
        return int64_t(std::llround(double(shown_at(packet) - stream.firstShown) / double(stream.frameDuration)));
    };
    size_t closed = 0;
    int64_t highest = stream.highestPlace, closedHighest = highest;
    for (size_t k = 0; k < taken.size(); ++k) {
        highest = std::max(highest, place_of(*taken[k]));
        if (highest + 1 == stream.picturesTaken + int64_t(k) + 1) {
            closed = k + 1;
            closedHighest = highest;
        }
    }
    if (taken.size() - closed > MOST_REORDERED) {
        // A picture that never came: take the batch as it stands, and count
        // from here on as if it had.
        closed = taken.size();
        closedHighest = highest;
        stream.picturesTaken = highest + 1 - int64_t(closed);
        for (const PacketPtr& packet : stream.queue) shownUntil = std::min(shownUntil, stream.at(shown_at(*packet)));
    } else {
        shownUntil = std::min(shownUntil, stream.at(stream.firstShown + (closedHighest + 1) * stream.frameDuration));
    }
    for (size_t k = taken.size(); k > closed; --k) stream.queue.push_front(std::move(taken[k - 1]));
    taken.resize(closed);
    stream.picturesTaken += int64_t(closed);
    stream.highestPlace = closedHighest;
}

void MediaBatches::giveBack(MediaBatch& batch) {
    for (std::vector<PacketPtr>& packets : batch.packets) {
        for (PacketPtr& packet : packets) {
            av_packet_unref(packet.get());
            m_spare.push_back(std::move(packet));
        }
        packets.clear();
    }
    for (std::vector<int64_t>& durations : batch.durations) durations.clear();
}

void MediaBatches::take(MediaBatch& batch, bool everything) {
    giveBack(batch);
    batch.first = !m_taken;
    batch.packets.resize(m_streams.size());
    batch.durations.resize(m_streams.size());
    batch.firstDts.clear();
    for (const Stream& stream : m_streams) batch.firstDts.push_back(stream.firstDts);
    Moment until{};
    if (!reached(until) && !everything) return;
    m_taken = true;
    m_lastCut = until;
    const auto before = [&](const Stream& stream, int64_t ts, const Moment& limit) {
        return everything || stream.at(ts) < limit;
    };

    // Pictures in decode order up to `until`; the last packet of the stream
    // that limits it stays, so that its duration is known. They are shown
    // without a gap up to the first picture still waiting.
    Moment shownUntil{INT64_MAX, {1, 1}};
    bool pictures = false;
    for (size_t i = 0; i < m_streams.size(); ++i) {
        Stream& stream = m_streams[i];
        if (!stream.video) continue;
        while (!stream.queue.empty() && before(stream, stream.queue.front()->dts, until)) {
            batch.packets[i].push_back(std::move(stream.queue.front()));
            stream.queue.pop_front();
        }
        if (!everything) closePictures(stream, batch.packets[i], shownUntil);
        pictures = true;
    }
    // Sound as far as the pictures are shown.
    for (size_t i = 0; i < m_streams.size(); ++i) {
        Stream& stream = m_streams[i];
        if (stream.video) continue;
        while (!stream.queue.empty() && before(stream, shown_at(*stream.queue.front()), pictures ? shownUntil : until)) {
            batch.packets[i].push_back(std::move(stream.queue.front()));
            stream.queue.pop_front();
        }
    }
    for (size_t i = 0; i < m_streams.size(); ++i) {
        const std::vector<PacketPtr>& taken = batch.packets[i];
        for (size_t k = 0; k < taken.size(); ++k) {
            const AVPacket* packet = taken[k].get();
            const AVPacket* next = k + 1 < taken.size()            ? taken[k + 1].get()
                                   : !m_streams[i].queue.empty() ? m_streams[i].queue.front().get()
                                                                 : nullptr;
            const int64_t span = next                  ? next->dts - packet->dts
                                 : packet->duration > 0 ? packet->duration
                                                        : m_streams[i].frameDuration;
            batch.durations[i].push_back(std::max<int64_t>(span, 1));
        }
    }
}
