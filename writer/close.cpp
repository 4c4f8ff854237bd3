#include "FFWriter.h"
bool FFWriter::close() { return true; }
void FFWriter::release() {}
