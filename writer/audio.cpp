// Audio sample path (not yet built).
#include "FFWriter.h"

bool FFWriter::writeAudio(const void*, int64_t) { return false; }

bool FFWriter::drainAudio() { return false; }
