#include "FFWriter.h"
bool FFWriter::writeVideoFrame(const void*, const MetadataPair*, int32_t, bool, const char*) { return false; }
