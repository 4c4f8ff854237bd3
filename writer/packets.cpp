// The packet path shared by video, audio and the drains: every packet the
// encoder gives is rescaled, kept in dts order and handed to the muxer.
#include "FFWriter.h"

#include "base/error_text.h"
#include "base/log.h"

namespace {

// A crash loses at most this much of the muxer's output, besides what the
// muxer itself holds back.
constexpr double FLUSH_SECONDS = 0.5;

}  // namespace

bool FFWriter::encodeAndWrite(AVCodecContext* context, AVStream* stream, const AVFrame* frame, int64_t& lastDts,
                              bool isVideo) {
    int result = avcodec_send_frame(context, frame);
    // A second drain finds the encoder already at its end: nothing is lost.
    if (result == AVERROR_EOF && !frame) return true;
    if (result < 0) {
        log(LOG_ERROR,
            isVideo ? "QelFFmpegWriter: Error encoding video frame: %s" : "QelFFmpegWriter: Error encoding audio: %s",
            ffmpeg_error_text(result));
        return false;
    }

    PacketPtr packet(av_packet_alloc());
    if (!packet) {
        log(LOG_ERROR, "QelFFmpegWriter: memory allocation error");
        return false;
    }
    const AVRational codecTimeBase = context->time_base;
    const int64_t margin = (m_outputFormat->flags & AVFMT_TS_NONSTRICT) ? 0 : 1;
    for (;;) {
        result = avcodec_receive_packet(context, packet.get());
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return true;
        if (result < 0) {
            log(LOG_ERROR,
                isVideo ? "QelFFmpegWriter: Error encoding video frame: %s"
                        : "QelFFmpegWriter: Error encoding audio: %s",
                ffmpeg_error_text(result));
            return false;
        }
        if (packet->size == 0) {
            av_packet_unref(packet.get());
            continue;
        }
        const AVRational streamTimeBase = stream->time_base;
        if (packet->pts != AV_NOPTS_VALUE) packet->pts = av_rescale_q(packet->pts, codecTimeBase, streamTimeBase);
        if (packet->dts != AV_NOPTS_VALUE) {
            const int64_t minDts = lastDts + margin;
            packet->dts = av_rescale_q(packet->dts, codecTimeBase, streamTimeBase);
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
        if (packet->duration > 0)
            packet->duration = int32_t(av_rescale_q(packet->duration, codecTimeBase, streamTimeBase));
        packet->stream_index = stream->index;
        if (isVideo) log(LOG_VERBOSE, "QelFFmpegWriter: Write frame (size=%5d)\n", packet->size);

        // The crash-safe movie writes in fragments; every other muxer
        // interleaves as it likes and hands its bytes on every half second.
        if (m_crashSafe) {
            if (!m_crashSafe->add(packet.get())) return false;
            continue;
        }
        const double seconds = double(packet->dts) * av_q2d(streamTimeBase);
        result = av_interleaved_write_frame(m_formatContext.get(), packet.get());
        if (result != 0) {
            log(LOG_ERROR,
                isVideo ? "QelFFmpegWriter: Error writing video frame: %s"
                        : "QelFFmpegWriter: Error while writing audio frame: %s",
                ffmpeg_error_text(result));
            return false;
        }
        handToDisk(seconds);
    }
}

void FFWriter::handToDisk(double seconds) {
    if (seconds < m_nextFlush) return;
    m_nextFlush = seconds + FLUSH_SECONDS;
    // A null packet makes a muxer that can (Matroska's clusters) write out
    // what it holds.
    if (m_outputFormat->flags & AVFMT_ALLOW_FLUSH) av_write_frame(m_formatContext.get(), nullptr);
    avio_flush(m_formatContext->pb);
}
