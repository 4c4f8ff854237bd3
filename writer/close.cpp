// Finishing an output: drain the encoders, write the trailer, release every
// object, then give the file its final name.
#include "FFWriter.h"

#include "VelmoraCore.h"

#include <cstdio>

bool FFWriter::close() {
    if (!m_isOpen) return true;

    drainAudio();
    if (m_hasVideo && m_videoCodecContext)
        encodeAndWrite(m_videoCodecContext.get(), m_videoStream, nullptr, m_videoLastDts, true);
    av_write_trailer(m_formatContext.get());
    release();
    m_isOpen = false;

    if (m_useTempFile) {
        if (fastStartConvert(m_tempFileName, m_fileName))
            file_delete(m_tempFileName);
        else
            std::rename(m_tempFileName, m_fileName);
    }
    m_fileName[0] = '\0';
    m_tempFileName[0] = '\0';
    return true;
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
