#include "writer/encoder/dnxhd_rate.h"

#include "base/compat.h"
#include "base/ffmpeg_ptr.h"
#include "base/quiet_log.h"

extern "C" {
#include <libavutil/opt.h>
}

#include <algorithm>
#include <array>
#include <cmath>

namespace {

// Every rate, in Mbit/s, that FFmpeg's DNxHD encoders have taken for some size.
constexpr std::array<int, 17> RATES = {36, 45, 60, 75, 90, 110, 115, 120, 145, 175, 180, 185, 220, 240, 290, 365, 440};

}  // namespace

bool dnxhd_opens(const AVCodec& encoder, const AVCodecContext& like, int64_t bitRate) {
    CodecContextPtr trial(avcodec_alloc_context3(&encoder));
    if (!trial) return false;
    quiet_log(*trial);
    trial->width = like.width;
    trial->height = like.height;
    trial->pix_fmt = like.pix_fmt;
    trial->time_base = like.time_base;
    trial->framerate = like.framerate;
    trial->flags = like.flags;
    trial->profile = like.profile;
    av_opt_set_int(trial->priv_data, "profile", dnxhd_profile(like), 0);
    trial->bit_rate = bitRate;
    trial->thread_count = 1;
    return avcodec_open2(trial.get(), &encoder, nullptr) >= 0;
}

int64_t dnxhd_profile(const AVCodecContext& context) {
    int64_t profile = AV_PROFILE_DNXHD;
    if (context.priv_data) av_opt_get_int(context.priv_data, "profile", 0, &profile);
    return profile;
}

int64_t dnxhd_default_bit_rate(const AVCodec& encoder, const AVCodecContext& context) {
    const double fps = context.time_base.num > 0 ? double(context.time_base.den) / context.time_base.num : 25;
    const double wanted = 185.0 * context.width * context.height * fps / (1920.0 * 1080.0 * 25.0);
    std::array<int, RATES.size()> byNearness = RATES;
    std::stable_sort(byNearness.begin(), byNearness.end(),
                     [wanted](int a, int b) { return std::fabs(a - wanted) < std::fabs(b - wanted); });
    for (const int rate : byNearness)
        if (dnxhd_opens(encoder, context, int64_t(rate) * 1000000)) return int64_t(rate) * 1000000;
    return 0;
}
