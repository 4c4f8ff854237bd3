// Audio stream and resampler set-up (not yet built: outputs carry video only).
#include "FFWriter.h"

bool FFWriter::openAudio(WriterSettings&) {
    m_hasAudio = false;
    return true;
}
