// Construction, destruction and the writer's log.
#include "FFWriter.h"

#include "plugin/messages.h"

#include <cstdarg>
#include <cstdio>

FFWriter::FFWriter() : m_logCallback(default_log_sink) {
    m_fileName[0] = '\0';
    m_tempFileName[0] = '\0';
    m_videoCodecName[0] = '\0';
    m_audioCodecName[0] = '\0';
}

FFWriter::~FFWriter() {
    // An output still open is finished, not abandoned: the frames already
    // rendered stay playable and no descriptor is left open.
    if (m_isOpen) close();
    release();
    av_channel_layout_uninit(&m_inChannelLayout);
    av_channel_layout_uninit(&m_outChannelLayout);
}

void FFWriter::log(int32_t level, const char* format, ...) {
    if (!m_logCallback) return;
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    m_logCallback(level, text);
}
