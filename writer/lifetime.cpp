// Construction, destruction and the writer's log.
#include "writer/FFWriter.h"

#include "base/log.h"

#include <cstdarg>

FFWriter::FFWriter(LogSink log) : m_log(log) {
    m_fileName[0] = '\0';
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
    va_list args;
    va_start(args, format);
    vlog_to(m_log, level, format, args);
    va_end(args);
}
