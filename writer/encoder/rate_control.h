// A bit rate chosen in the panel: constant rate by default (min = max, a
// buffer of a key-frame interval's frames), variable when asked.
#pragma once

#include "writer/settings/writer_settings.h"

#include "base/log.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <cstdint>

// Constant-rate buffer in bits: about one GOP of frames at `bitRate`, at
// least one frame, saturating at INT32_MAX.
int32_t cbr_buffer_size(AVRational timeBase, int64_t bitRate, int32_t gopSize);

// The panel's bit rate into a video encoder's context, after its time base
// and key-frame interval are set.
void apply_rate_control(AVCodecContext& context, const WriterSettings& settings, LogSink log);
