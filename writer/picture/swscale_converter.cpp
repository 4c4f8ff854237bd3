#include "writer/picture/swscale_converter.h"

extern "C" {
#include <libavutil/opt.h>
}

SwsContextPtr make_converter(const ConverterSetup& setup) {
    // Same size in and out: only the pixel layout changes. libswscale's own
    // slice threads give the same picture as one thread, only sooner.
    // Formats it cannot convert are refused before init: FFmpeg 5.1 leaks the
    // slice contexts of a threaded init that fails.
    if (!sws_isSupportedInput(setup.inFormat) || !sws_isSupportedOutput(setup.outFormat)) return nullptr;
    SwsContextPtr context(sws_alloc_context());
    SwsContext* sws = context.get();
    const bool configured =
        sws && av_opt_set_int(sws, "srcw", setup.width, 0) >= 0 && av_opt_set_int(sws, "srch", setup.height, 0) >= 0 &&
        av_opt_set_int(sws, "src_format", setup.inFormat, 0) >= 0 && av_opt_set_int(sws, "dstw", setup.width, 0) >= 0 &&
        av_opt_set_int(sws, "dsth", setup.height, 0) >= 0 && av_opt_set_int(sws, "dst_format", setup.outFormat, 0) >= 0 &&
        av_opt_set_int(sws, "sws_flags", SWS_FAST_BILINEAR, 0) >= 0 && av_opt_set_int(sws, "threads", 0, 0) >= 0 &&
        sws_init_context(sws, nullptr, nullptr) >= 0;
    if (!configured) return nullptr;
    int* inverseTable = nullptr;
    int* table = nullptr;
    int sourceRange = 1, destinationRange = 0, brightness = 0, contrast = 1 << 16, saturation = 1 << 16;
    sws_getColorspaceDetails(sws, &inverseTable, &sourceRange, &table, &destinationRange, &brightness, &contrast,
                             &saturation);
    const int* coefficients = sws_getCoefficients(setup.matrix.swscaleSpace);
    sws_setColorspaceDetails(sws, coefficients, sourceRange, coefficients, setup.fullRangeOut ? 1 : 0, brightness,
                             contrast, saturation);
    return context;
}
