// Encoder options: the chosen profile, and for H.264 the writer's fixed
// tuning and libx264's speed, key-frame and rate parameters.
#include "writer/encoder/options.h"

#include "catalogue/catalogue.h"
#include "catalogue/profiles.h"
#include "base/error_text.h"
#include "base/log.h"

extern "C" {
#include <libavutil/opt.h>
}

#include <cstdio>
#include <cstring>

namespace {

const char* x264_preset(int32_t quality) {
    switch (quality) {
    case 0: return "ultrafast";
    case 1: return "veryfast";
    case 2: return "fast";
    case 3: return "slow";
    default: return "veryslow";
    }
}

const AVOption* private_option(const AVCodecContext& context, const char* name) {
    return context.priv_data ? av_opt_find(context.priv_data, name, nullptr, 0, 0) : nullptr;
}

// Returns FFmpeg's result; an encoder without private options refuses them all.
int set_private_option(AVCodecContext& context, const char* name, const char* value) {
    if (!context.priv_data) return AVERROR_OPTION_NOT_FOUND;
    return av_opt_set(context.priv_data, name, value, 0);
}

// Tuning that left the public context lives on as private options of some
// encoders; the others simply do without it.
void set_tuning_option(AVCodecContext& context, const char* name, int64_t value) {
    if (private_option(context, name)) av_opt_set_int(context.priv_data, name, value, 0);
}

void apply_h264_tuning(AVCodecContext& context) {
    set_tuning_option(context, "coder", 1);  // arithmetic coding
    context.flags |= AV_CODEC_FLAG_LOOP_FILTER;
    context.me_cmp |= 1;
    context.me_subpel_quality = 7;
    context.me_range = 16;
    set_tuning_option(context, "sc_threshold", 40);
    context.i_quant_factor = 0.71f;
    set_tuning_option(context, "b_strategy", 1);
    context.qcompress = 0.6f;
    context.qmin = 10;
    context.qmax = 51;
    context.max_qdiff = 4;
    context.max_b_frames = 3;
    context.refs = 3;
    context.trellis = 1;
}

void apply_x264_options(LogSink log, AVCodecContext& context, const WriterSettings& settings) {
    int result = set_private_option(context, "preset", x264_preset(settings.quality));
    if (result < 0)
        log_to(log, LOG_ERROR, "QelFFmpegWriter: Error setting libx264-codec option 'preset': %s",
                   ffmpeg_error_text(result));

    char params[128];
    if (settings.keyFrameInterval > 0) {
        std::snprintf(params, sizeof params, "keyint=%i", settings.keyFrameInterval);
        result = set_private_option(context, "x264-params", params);
        if (result < 0)
            log_to(log, LOG_ERROR, "QelFFmpegWriter: Error setting libx264-codec option 'keyint_max': %s",
                       ffmpeg_error_text(result));
    }
    // One text option: this replaces the key-frame text above, whose interval
    // still reaches x264 through gop_size. x264 counts in kbit/s and kbit.
    if (settings.vbr == 0 && settings.videoBitRate != 0) {
        std::snprintf(params, sizeof params, "nal-hrd=cbr:bitrate=%i:vbv-maxrate=%i:vbv-bufsize=%i",
                      settings.videoBitRate / 1000, settings.videoBitRate / 1000, context.rc_buffer_size / 1000);
        result = set_private_option(context, "x264-params", params);
        if (result < 0)
            log_to(log, LOG_ERROR, "QelFFmpegWriter: Error setting libx264-codec option 'x264-params': %s",
                       ffmpeg_error_text(result));
    }

    result = set_private_option(context, "tune", "film");
    if (result < 0)
        log_to(log, LOG_ERROR, "QelFFmpegWriter: Error setting libx264-codec option 'tune': %s",
                   ffmpeg_error_text(result));
}

// Some encoders (prores_ks) read the profile from a private option and
// decide by themselves without it, so it is set there too.
void set_profile_number(LogSink log, AVCodecContext& context, int32_t number, bool video) {
    context.profile = number;
    const AVOption* option = private_option(context, "profile");
    if (!option || (option->type != AV_OPT_TYPE_INT && option->type != AV_OPT_TYPE_INT64)) return;
    const int result = av_opt_set_int(context.priv_data, "profile", number, 0);
    if (result < 0) {
        char value[16];
        std::snprintf(value, sizeof value, "%d", number);
        log_to(log, LOG_ERROR,
                   video ? "QelFFmpegWriter: Error setting video codec option '%s' to '%s': %s"
                         : "QelFFmpegWriter: Error setting audio codec option '%s' to '%s': %s",
                   "profile", value, ffmpeg_error_text(result));
    }
}

}  // namespace

void apply_video_options(LogSink log, AVCodecContext& context, int32_t codec_id, const char* encoder_name,
                         const WriterSettings& settings) {
    const ProfileOptionRow* row = nullptr;
    int32_t number = NO_PROFILE;
    if (settings.videoProfile) {
        row = find_profile_option(encoder_name, settings.videoProfile);
        if (row && !(row->option && row->value)) row = nullptr;
        if (!row && encoder_name) {
            if (const AVCodec* codec = avcodec_find_encoder_by_name(encoder_name))
                number = ffmpeg_profile_for_label(*codec, settings.videoProfile);
        }
    }

    if (codec_id == AV_CODEC_ID_H264) {
        apply_h264_tuning(context);
        if (is_x264_encoder(encoder_name)) apply_x264_options(log, context, settings);
    }

    // Last, so a libx264 profile lands on top of the preset.
    if (row) {
        const int result = set_private_option(context, row->option, row->value);
        if (result < 0)
            log_to(log, LOG_ERROR, "QelFFmpegWriter: Error setting video codec option '%s' to '%s': %s", row->option,
                       row->value, ffmpeg_error_text(result));
    } else if (number != NO_PROFILE) {
        set_profile_number(log, context, number, true);
    }
}

void apply_audio_profile(LogSink log, AVCodecContext& context, const char* encoder_name,
                         const char* profile_name) {
    if (!profile_name) return;
    if (const ProfileOptionRow* row = find_profile_option(encoder_name, profile_name)) {
        if (row->option && row->value) {
            const int result = set_private_option(context, row->option, row->value);
            if (result < 0)
                log_to(log, LOG_ERROR, "QelFFmpegWriter: Error setting audio codec option '%s' to '%s': %s",
                           row->option, row->value, ffmpeg_error_text(result));
        } else if (row->profile != NO_PROFILE) {
            set_profile_number(log, context, row->profile, false);
        }
        return;
    }
    const AVCodec* codec = encoder_name ? avcodec_find_encoder_by_name(encoder_name) : nullptr;
    if (!codec) return;
    const int32_t number = ffmpeg_profile_for_label(*codec, profile_name);
    if (number != NO_PROFILE) set_profile_number(log, context, number, false);
}

int append_private_params(AVCodecContext& context, const char* option, const std::string& params) {
    if (!private_option(context, option)) return AVERROR_OPTION_NOT_FOUND;
    uint8_t* current = nullptr;
    av_opt_get(context.priv_data, option, 0, &current);
    std::string text = current ? reinterpret_cast<const char*>(current) : "";
    av_free(current);
    if (!text.empty()) text += ":";
    text += params;
    return av_opt_set(context.priv_data, option, text.c_str(), 0);
}
