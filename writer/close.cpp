// Finishing an output: drain the encoders, write the trailer, release every
// object, then give the file its final name.
#include "writer/FFWriter.h"
#include "writer/loudness/loudness_box.h"
#include "writer/loudness/quality_report.h"
#include "writer/picture/blank_picture.h"

#include "VelmoraCore.h"
#include "faststart/faststart.h"
#include "base/error_text.h"
#include "base/log.h"

#include <cstring>
#include <string>

namespace {

// An encoder freed before it saw the end of its input may wait for that end
// for ever, and libsvtav1 also waits for ever on an end that follows no
// picture (FFmpeg's own command line hangs alike). So a video encoder that
// never had a picture gets a black one first; what comes out is dropped. An
// audio encoder without input has nothing to finish (FFmpeg's vorbis would
// hand out empty packets for ever). An encoder already drained answers at once.
void end_encoder_input(AVCodecContext* context, bool hadInput, bool copied) {
    if (!context || !avcodec_is_open(context) || !av_codec_is_encoder(context->codec)) return;
    // The join's encoder ran on one thread and coded nothing: FFmpeg's own
    // encoders then end at once, and a picture coded only to be dropped
    // costs the join more than all its copying (a ProRes 1080p frame).
    const bool ownEncoder = !context->codec->wrapper_name;
    if (!hadInput && !(copied && ownEncoder)) {
        if (context->codec_type != AVMEDIA_TYPE_VIDEO) return;
        if (FramePtr blank = blank_picture(*context)) avcodec_send_frame(context, blank.get());
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

    // What the encoders still hold belongs to the file; a movie finished
    // without it is no finished movie.
    bool drained = true;
    if (m_hasAudio && m_audioBuffers) drained = drainAudio();
    // Nothing to drain without a picture; the release below ends the encoder.
    if (m_hasVideo && m_videoCodecContext && m_videoFrameCount > 0 && !m_copyVideo)
        drained = encodeAndWrite(m_videoCodecContext.get(), m_videoStream, nullptr, m_videoLastDts, true) && drained;
    const std::string written = m_useTempFile ? m_tempFileName : std::string(m_fileName);
    if (!drained)
        log(LOG_ERROR, "QelFFmpegWriter: <%s> is finished without the last frames the encoders held", written.c_str());
    const int failure = finishFile();
    if (failure < 0)
        log(LOG_ERROR, "QelFFmpegWriter: failed to finish file <%s>: %s", written.c_str(), ffmpeg_error_text(failure));
    release();
    m_isOpen = false;
    if (m_quality) m_quality->finish();
    const bool named = !m_mediaWritten ? leaveNoEmptyFile()
                       : m_segment     ? nameFinishedSegment(drained && failure >= 0)
                       : m_copyVideo   ? nameJoinedFile(drained && failure >= 0)
                                       : nameFinishedFile(failure >= 0);
    if (named && failure >= 0 && m_mediaWritten && !m_segment) reportQuality();
    m_quality.reset();
    m_fileName[0] = '\0';
    m_tempFileName.clear();
    return drained && failure >= 0 && named;
}

// The queued media, the trailer, and last the trailer's update of the
// header: until that is on disk the file reads as it did while it was
// written, so a crash or a full disk in the middle of the trailer loses nothing.
int FFWriter::finishFile() {
    AVFormatContext* context = m_formatContext.get();
    AVIOContext* io = context->pb;
    int failure = 0;
    if (m_batches) {
        m_batches->take(m_batch, true);
        if (!writeBatch(m_batch)) failure = io->error < 0 ? io->error : AVERROR(EIO);
        m_batches->giveBack(m_batch);
    }
    avio_flush(io);
    const int64_t indexAt = avio_tell(io);
    if (m_useTempFile) m_outputFile.holdWritesBefore(indexAt);
    const int trailer = av_write_trailer(context);
    if (m_crashSafe) m_outputFile.replaceHeldWrites(m_crashSafe->mediaBoxAt(), m_crashSafe->mediaBox(indexAt));
    // The last bytes reach the disk only here: a full disk or a size limit
    // met now must not pass for a finished movie.
    avio_flush(io);
    if (failure >= 0) failure = trailer < 0 ? trailer : io->error;
    if (failure >= 0 && m_useTempFile && !m_outputFile.releaseHeldWrites()) failure = m_outputFile.error();
    context->pb = nullptr;
    const int closed = m_outputFile.close();
    return failure < 0 ? failure : closed;
}

// Before the movie takes its name: its loudness into the sound track's user
// data, for mov and mp4 (the faststart rewrite puts it into the index it moves).
void FFWriter::keepLoudnessInMovie() {
    if (!m_quality || !m_quickTime || !m_useTempFile) return;
    const std::optional<LoudnessFigures>& figures = m_quality->figures();
    if (!figures) return;
    std::string why;
    if (!write_loudness_box(m_tempFileName, *figures, why))
        log(LOG_WARNING, "QelFFmpegWriter: the loudness is not written into <%s>: %s", m_fileName, why.c_str());
}

// Under its name: the figures to the host's log, the verdict, the report
// beside the movie. A report that cannot be written fails nothing.
void FFWriter::reportQuality() {
    if (!m_quality) return;
    m_quality->tell(m_fileName, m_log);
    if (!m_useTempFile || !m_quality->measured()) return;
    std::string why;
    if (!write_quality_report(m_fileName, *m_quality, m_outputFormat ? m_outputFormat->name : "", why))
        log(LOG_WARNING, "QelFFmpegWriter: the quality report of <%s> is not written: %s", m_fileName, why.c_str());
}

// A finished movie takes the final name, through the faststart rewrite when
// asked. A broken one (the disk filled) stays under its unfinished name,
// readable to its last batch: it must not take the place of an earlier take.
bool FFWriter::nameFinishedFile(bool finished) {
    if (!m_useTempFile) return true;
    if (!finished) {
        log(LOG_ERROR, "QelFFmpegWriter: what was written of <%s> stays in <%s>", m_fileName, m_tempFileName.c_str());
        return false;
    }
    const std::optional<LoudnessFigures> loudness =
        m_quality && m_quickTime ? m_quality->figures() : std::optional<LoudnessFigures>();
    const std::vector<uint8_t> userData = loudness ? loudness_user_data(*loudness) : std::vector<uint8_t>();
    if (m_fastStart &&
        faststart::convert(m_tempFileName.c_str(), m_fileName, m_log, loudness ? &userData : nullptr)) {
        m_outputFile.discard();
        return true;
    }
    keepLoudnessInMovie();
    if (!m_outputFile.publish(m_fileName, m_log)) return false;
    if (m_fastStart)
        log(LOG_WARNING, "QelFFmpegWriter: the movie is kept without faststart in <%s>", m_fileName);
    return true;
}

// A join is whole or nothing: what failed is not named, so an earlier take
// and the segments stay as they were.
bool FFWriter::nameJoinedFile(bool finished) {
    if (finished) return nameFinishedFile(true);
    m_outputFile.discard();
    return false;
}

// Every frame refused (the first among them): a movie of no frame is no
// render, and no stub of one is left to be taken for it.
bool FFWriter::leaveNoEmptyFile() {
    if (!m_useTempFile) return true;
    m_outputFile.discard();
    log(LOG_WARNING, "QelFFmpegWriter: no frame reached <%s>; no file is left", m_fileName);
    return true;
}

void FFWriter::release() {
    m_crashSafe.reset();
    m_batches.reset();
    m_pictureConverter.reset();
    m_swsContext.reset();
    end_encoder_input(m_videoCodecContext.get(), m_videoFrameCount > 0 && !m_copyVideo, m_copyVideo);
    end_encoder_input(m_audioCodecContext.get(), m_audioSampleCount > 0, false);
    m_videoCodecContext.reset();
    m_audioCodecContext.reset();
    m_outFrame.reset();
    m_inFrame.reset();
    m_lastPicture.reset();
    m_packet.reset();
    m_audioFrame.reset();
    m_videoStream = nullptr;
    m_audioStream = nullptr;
    m_formatContext.reset();
    m_outputFile.close();
    m_pictureBuffer.reset();
    m_audioBuffers.reset();
    m_audioBufferSamples = 0;
    m_audioFifo.reset();
    m_swrContext.reset();
    m_videoOptions.reset();
    m_audioOptions.reset();
}

void FFWriter::discard() {
    if (!m_isOpen) return;
    release();
    m_quality.reset();
    m_isOpen = false;
    m_outputFile.discard();
    m_fileName[0] = '\0';
    m_tempFileName.clear();
}
