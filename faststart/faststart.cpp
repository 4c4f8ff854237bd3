// Faststart rewrite (not yet built: a pending output keeps the index at the end).
#include "writer/FFWriter.h"

bool FFWriter::fastStartConvert(const char*, const char*) { return false; }
