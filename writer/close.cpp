// Finishing an output: drain the encoders, write the trailer, release every
// object, then give the file its final name.
#include "FFWriter.h"

#include "VelmoraCore.h"
#include "faststart/faststart.h"
#include "base/error_text.h"
#include "base/log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavutil/imgutils.h>
}

namespace {

// A picture of the encoder's own layout and size, black.
FramePtr blank_picture(const AVCodecContext* context) {
    FramePtr frame(av_frame_alloc());
    if (!frame) return frame;
    frame->format = context->pix_fmt;
    frame->width = context->width;
    frame->height = context->height;
    frame->pts = 0;
    if (av_frame_get_buffer(frame.get(), 0) < 0) return FramePtr();
    for (AVBufferRef* buffer : frame->buf)
        if (buffer) std::memset(buffer->data, 0, buffer->size);
    const ptrdiff_t linesizes[4] = {frame->linesize[0], frame->linesize[1], frame->linesize[2], frame->linesize[3]};
    av_image_fill_black(frame->data, linesizes, context->pix_fmt, context->color_range, context->width,
                        context->height);
    return frame;
}

// An encoder freed before it saw the end of its input may wait for that end
// for ever, and libsvtav1 also waits for ever on an end that follows no
// picture (FFmpeg's own command line hangs alike). So a video encoder that
// never had a picture gets a black one first; what comes out is dropped. An
// audio encoder without input has nothing to finish (FFmpeg's vorbis would
// hand out empty packets for ever). An encoder already drained answers at once.
void end_encoder_input(AVCodecContext* context, bool hadInput) {
    if (!context || !avcodec_is_open(context) || !av_codec_is_encoder(context->codec)) return;
    if (!hadInput) {
        if (context->codec_type != AVMEDIA_TYPE_VIDEO) return;
        if (FramePtr blank = blank_picture(context)) avcodec_send_frame(context, blank.get());
    }
    if (avcodec_send_frame(context, nullptr) < 0) return;
    PacketPtr packet(av_packet_alloc());
    // Bounded all the same: nothing here is written, so stopping early loses nothing.
    for (int i = 0; packet && i < 4096 && avcodec_receive_packet(context, packet.get()) >= 0; ++i)
        av_packet_unref(packet.get());
}

}  // namespace

bool FFWriter::close() {
    if (!m_isOpen) return true;

    drainAudio();
    // Nothing to drain without a picture; the release below ends the encoder.
    if (m_hasVideo && m_videoCodecContext && m_videoFrameCount > 0)
        encodeAndWrite(m_videoCodecContext.get(), m_videoStream, nullptr, m_videoLastDts, true);
    const int trailer = av_write_trailer(m_formatContext.get());
    // The last bytes reach the disk only here: a full disk or a size limit
    // met now must not pass for a finished movie.
    const int flushed = m_formatContext->pb ? avio_closep(&m_formatContext->pb) : 0;
    const int failure = trailer < 0 ? trailer : flushed;
    release();
    m_isOpen = false;

    const char* written = m_useTempFile ? m_tempFileName : m_fileName;
    if (failure < 0)
        log(LOG_ERROR, "QelFFmpegWriter: failed to finish file <%s>: %s", written, ffmpeg_error_text(failure));
    bool named = true;
    if (m_useTempFile) {
        // A broken movie is not rewritten; what there is keeps the final name.
        if (failure >= 0 && fastStartConvert(m_tempFileName, m_fileName)) {
            file_delete(m_tempFileName);
        } else if (std::rename(m_tempFileName, m_fileName) != 0) {
            log(LOG_ERROR, "QelFFmpegWriter: could not rename <%s> to <%s>: %s; the movie is in <%s>", m_tempFileName,
                m_fileName, std::strerror(errno), m_tempFileName);
            named = false;
        } else if (failure >= 0) {
            log(LOG_WARNING, "QelFFmpegWriter: the movie is kept without faststart in <%s>", m_fileName);
        }
    }
    m_fileName[0] = '\0';
    m_tempFileName[0] = '\0';
    return failure >= 0 && named;
}

void FFWriter::release() {
    m_swsContext.reset();
    m_splitConverter.reset();
    end_encoder_input(m_videoCodecContext.get(), m_videoFrameCount > 0);
    end_encoder_input(m_audioCodecContext.get(), m_audioSampleCount > 0);
    m_videoCodecContext.reset();
    m_audioCodecContext.reset();
    m_outFrame.reset();
    m_inFrame.reset();
    m_videoStream = nullptr;
    m_audioStream = nullptr;
    m_formatContext.reset();
    m_pictureBuffer.reset();
    m_audioBuffers.reset();
    m_audioBufferSamples = 0;
    m_audioFifo.reset();
    m_swrContext.reset();
    m_videoOptions.reset();
    m_audioOptions.reset();
}

bool FFWriter::fastStartConvert(const char* inFileName, const char* outFileName) {
    return faststart::convert(inFileName, outFileName, m_logCallback);
}
