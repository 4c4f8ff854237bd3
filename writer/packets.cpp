#include "FFWriter.h"
bool FFWriter::encodeAndWrite(AVCodecContext*, AVStream*, const AVFrame*, int64_t&, bool) { return false; }
