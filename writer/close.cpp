// Finishing an output: drain the encoders, write the trailer, release every
// object, then give the file its final name.
#include "FFWriter.h"

#include "VelmoraCore.h"
#include "plugin/messages.h"

#include <cstdio>

bool FFWriter::close() {
    if (!m_isOpen) return true;

    drainAudio();
    if (m_hasVideo && m_videoCodecContext)
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
    if (m_useTempFile) {
        // A broken movie is not rewritten; what there is keeps the final name.
        if (failure >= 0 && fastStartConvert(m_tempFileName, m_fileName))
            file_delete(m_tempFileName);
        else
            std::rename(m_tempFileName, m_fileName);
    }
    m_fileName[0] = '\0';
    m_tempFileName[0] = '\0';
    return failure >= 0;
}

void FFWriter::release() {
    m_swsContext.reset();
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
