// Trials that fail by design (what a device or a container takes) tell the
// user nothing: their FFmpeg objects log below every level a log shows, while
// FFmpeg's process-wide level stays what the host set. A log callback that
// honours the levels (FFmpeg's own does) shows none of their messages.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

void quiet_log(AVCodecContext& context);
void quiet_log(AVFormatContext& context);
