// The packet path shared by video, audio and the drains: every packet the
// encoder gives is rescaled, kept in dts order and handed to the muxer.
#include "writer/FFWriter.h"
#include "writer/settings/frame_rate.h"

#include "base/error_text.h"
#include "base/log.h"
#include "catalogue/catalogue.h"

#include <algorithm>
#include <vector>

bool FFWriter::encodeAndWrite(AVCodecContext* context, AVStream* stream, const AVFrame* frame, int64_t& lastDts,
                              bool isVideo) {
    int result = avcodec_send_frame(context, frame);
    // An encoder already told the end may still hold packets; one already
    // drained answers the end at once below.
    if (result < 0 && !(result == AVERROR_EOF && !frame)) {
        log(LOG_ERROR,
            isVideo ? "QelFFmpegWriter: Error encoding video frame: %s" : "QelFFmpegWriter: Error encoding audio: %s",
            ffmpeg_error_text(result));
        return false;
    }

    if (!m_packet) m_packet.reset(av_packet_alloc());
    if (!m_packet) {
        log(LOG_ERROR, "QelFFmpegWriter: memory allocation error");
        return false;
    }
    AVPacket* packet = m_packet.get();
    av_packet_unref(packet);  // what an earlier failure left in it
    const AVRational codecTimeBase = context->time_base;
    for (;;) {
        result = avcodec_receive_packet(context, packet);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return true;
        if (result < 0) {
            log(LOG_ERROR,
                isVideo ? "QelFFmpegWriter: Error encoding video frame: %s"
                        : "QelFFmpegWriter: Error encoding audio: %s",
                ffmpeg_error_text(result));
            return false;
        }
        if (packet->size == 0) {
            av_packet_unref(packet);
            continue;
        }
        if (!writePacket(packet, codecTimeBase, stream, lastDts, isVideo)) return false;
    }
}

bool FFWriter::writePacket(AVPacket* packet, AVRational timeBase, AVStream* stream, int64_t& lastDts, bool isVideo) {
    const int64_t margin = (m_formatContext->oformat->flags & AVFMT_TS_NONSTRICT) ? 0 : 1;
    const AVRational streamTimeBase = stream->time_base;
    if (packet->pts != AV_NOPTS_VALUE) packet->pts = av_rescale_q(packet->pts, timeBase, streamTimeBase);
    if (packet->dts != AV_NOPTS_VALUE) {
        const int64_t minDts = lastDts + margin;
        packet->dts = av_rescale_q(packet->dts, timeBase, streamTimeBase);
        // Raised where the muxer would refuse it, under the muxer's own
        // condition (nothing is checked after a dts of 0).
        if (lastDts != 0 && lastDts != AV_NOPTS_VALUE && packet->dts < minDts) {
            log(LOG_WARNING,
                isVideo ? "QelFFmpegWriter: Video timestamp %i < %i invalid, clipping"
                        : "QelFFmpegWriter: Audio timestamp %i < %i invalid, clipping",
                int32_t(packet->dts), int32_t(minDts));
            packet->pts = minDts;
            packet->dts = minDts;
        }
        lastDts = packet->dts;
    }
    if (packet->duration > 0) packet->duration = av_rescale_q(packet->duration, timeBase, streamTimeBase);
    packet->stream_index = stream->index;
    if (isVideo) log(LOG_VERBOSE, "QelFFmpegWriter: Write frame (size=%5d)\n", packet->size);
    if (isVideo && m_quality) {
        const int64_t at = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        if (at != AV_NOPTS_VALUE)
            m_quality->addVideoPacket(double(at) * av_q2d(streamTimeBase), packet->size,
                                      (packet->flags & AV_PKT_FLAG_KEY) != 0);
    }
    return queuePacket(packet);
}

bool FFWriter::queuePacket(AVPacket* packet) {
    if (!m_batches->add(packet)) {
        log(LOG_ERROR, "QelFFmpegWriter: memory allocation error");
        return false;
    }
    if (!m_batches->due()) return true;
    m_batches->take(m_batch);
    const bool written = writeBatch(m_batch);
    m_batches->giveBack(m_batch);
    return written && syncOnCadence();
}

namespace {

// A flush costs the disk's latency, not the bytes: one every ten seconds of
// media keeps it out of a render's time (bench/durability_bench.sh), and
// bounds what a power cut takes beside what the encoders hold.
constexpr double SYNC_SECONDS = 10.0;
constexpr int64_t SYNC_BYTES = 256 << 20;

}  // namespace

bool FFWriter::syncOnCadence() {
    const double seconds = m_hasVideo ? double(m_videoFrameCount) / usable_frame_rate(m_frameRate)
                                      : m_inSampleRate > 0 ? double(m_audioSampleCount) / m_inSampleRate : 0;
    const int64_t bytes = m_outputFile.size();
    if (seconds - m_syncedSeconds < SYNC_SECONDS && bytes - m_syncedBytes < SYNC_BYTES) return true;
    m_syncedSeconds = seconds;
    m_syncedBytes = bytes;
    if (m_outputFile.sync()) return true;
    log(LOG_ERROR, "QelFFmpegWriter: the movie <%s> could not be made durable: %s", m_outputFile.path().c_str(),
        ffmpeg_error_text(m_outputFile.error()));
    return false;
}

bool FFWriter::writeVideoPacket(AVPacket* packet, AVRational timeBase, int64_t frameOffset) {
    if (!m_isOpen || !m_hasVideo || !m_copyVideo || !packet) return false;
    // The encoder's time base counts frames: the segment's place on the
    // timeline is a whole number of them.
    const AVRational frames = m_videoCodecContext->time_base;
    if (packet->pts != AV_NOPTS_VALUE) packet->pts = av_rescale_q(packet->pts, timeBase, frames) + frameOffset;
    if (packet->dts != AV_NOPTS_VALUE) packet->dts = av_rescale_q(packet->dts, timeBase, frames) + frameOffset;
    if (packet->duration > 0) packet->duration = av_rescale_q(packet->duration, timeBase, frames);
    packet->pos = -1;
    ++m_videoFrameCount;
    return writePacket(packet, frames, m_videoStream, m_videoLastDts, true);
}

// A batch goes to the muxer whole and then to the kernel: through the
// crash-safe movie's fragments, or interleaved by the muxer, whose queue is
// emptied after it: the sound that goes with the last pictures lies beyond
// them in decode order and would wait there. A muxer of edit units keeps its
// queue: it would drop the unfinished edit unit. Of the muxers' own flushes
// only Matroska's is asked for: Ogg's changes what its sound decodes to,
// ISMV's cuts fragments away from key frames.
bool FFWriter::writeBatch(MediaBatch& batch) {
    std::vector<AVPacket*>& order = m_batchOrder;
    order.clear();
    for (auto& packets : batch.packets)
        for (PacketPtr& packet : packets) order.push_back(packet.get());
    if (order.empty()) return true;
    // From here the file may hold media, even if the write fails.
    m_mediaWritten = true;
    if (m_crashSafe) return m_crashSafe->write(batch);
    AVFormatContext* context = m_formatContext.get();
    std::stable_sort(order.begin(), order.end(), [context](const AVPacket* a, const AVPacket* b) {
        return av_compare_ts(a->dts, context->streams[a->stream_index]->time_base, b->dts,
                             context->streams[b->stream_index]->time_base) < 0;
    });
    for (AVPacket* packet : order) {
        const bool video = context->streams[packet->stream_index]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
        const int result = av_interleaved_write_frame(context, packet);
        if (result != 0) {
            log(LOG_ERROR,
                video ? "QelFFmpegWriter: Error writing video frame: %s"
                      : "QelFFmpegWriter: Error while writing audio frame: %s",
                ffmpeg_error_text(result));
            return false;
        }
    }
    const AVOutputFormat* muxer = context->oformat;
    int result = is_edit_unit_muxer(muxer->name) ? 0 : av_interleaved_write_frame(context, nullptr);
    // Matroska keeps its cluster in memory until the cluster ends: it ends here.
    if (result >= 0 && muxer_has_option(*muxer, "cluster_time_limit")) result = av_write_frame(context, nullptr);
    avio_flush(context->pb);
    if (result >= 0 && context->pb->error < 0) result = context->pb->error;
    if (result < 0) {
        log(LOG_ERROR, "QelFFmpegWriter: Error writing video frame: %s", ffmpeg_error_text(result));
        return false;
    }
    return true;
}
