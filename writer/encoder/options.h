// Carrying the panel's choices into an encoder context before it is opened.
// No refusal stops the opening: each is logged and the next step runs.
#pragma once

#include "writer/settings/writer_settings.h"

#include "base/log.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <string>

// The fixed H.264 tuning; for libx264 its preset by quality, key-frame and
// constant-rate parameters and tune; then the chosen profile.
void apply_video_options(LogSink log, AVCodecContext& context, int32_t codec_id, const char* encoder_name,
                         const WriterSettings& settings);

// The chosen audio profile, by private option or profile number.
void apply_audio_profile(LogSink log, AVCodecContext& context, const char* encoder_name,
                         const char* profile_name);

// Adds "key=value:..." text to what an encoder's parameter option (x264-params
// and the like) already holds; FFmpeg's result.
int append_private_params(AVCodecContext& context, const char* option, const std::string& params);
