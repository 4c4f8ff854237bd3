// Encoder options (not yet built).
#include "FFWriter.h"

void FFWriter::applyVideoOptions(const WriterSettings&, const char*) {}
