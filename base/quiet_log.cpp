#include "quiet_log.h"

#include <cstddef>

namespace {

// Added to every level: far beyond AV_LOG_TRACE, the most verbose there is.
constexpr int QUIET_OFFSET = AV_LOG_TRACE * 16;

// A muxer context has no level offset of its own, but its class may name one:
// a copy of the class points it at a field muxing never reads (the frames a
// demuxer probes for a rate).
const AVClass* quiet_format_class() {
    static const AVClass quiet = [] {
        AVClass format = *avformat_get_class();
        format.log_level_offset_offset = int(offsetof(AVFormatContext, fps_probe_size));
        return format;
    }();
    return &quiet;
}

}  // namespace

void quiet_log(AVCodecContext& context) { context.log_level_offset = QUIET_OFFSET; }

void quiet_log(AVFormatContext& context) {
    context.av_class = quiet_format_class();
    context.fps_probe_size = QUIET_OFFSET;
}
