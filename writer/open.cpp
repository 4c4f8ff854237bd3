#include "FFWriter.h"
bool FFWriter::open(const char*, WriterSettings*) { return false; }
bool FFWriter::openVideo(WriterSettings&) { return false; }
