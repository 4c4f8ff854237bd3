// Stand-in for the host's FFmpeg binding library. The module links FFmpeg
// directly, so binding is a check that the libraries found at run time are
// the generation the module was built against.
#include "fflink.h"
#include "standin.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace {
bool g_fail = false;
int g_loaded = 0;

bool major_matches(unsigned runtime, int compiled) { return int(runtime >> 16) == compiled; }
}  // namespace

extern "C" {

bool fflink_load(const int32_t* libraries, const char*) {
    if (g_fail || !libraries) return false;
    // The list names libraries 0..4 (codec, format, util, scale, resample) and ends with 8.
    for (const int32_t* id = libraries; *id != 8; ++id) {
        if (id - libraries >= 16) return false;  // unterminated list
        bool ok = false;
        switch (*id) {
        case 0: ok = major_matches(avcodec_version(), LIBAVCODEC_VERSION_MAJOR); break;
        case 1: ok = major_matches(avformat_version(), LIBAVFORMAT_VERSION_MAJOR); break;
        case 2: ok = major_matches(avutil_version(), LIBAVUTIL_VERSION_MAJOR); break;
        case 3: ok = major_matches(swscale_version(), LIBSWSCALE_VERSION_MAJOR); break;
        case 4: ok = major_matches(swresample_version(), LIBSWRESAMPLE_VERSION_MAJOR); break;
        default: ok = false; break;
        }
        if (!ok) return false;
    }
    ++g_loaded;
    return true;
}

void fflink_unload(void) { --g_loaded; }

void standin_set_fflink_fail(bool fail) { g_fail = fail; }
int standin_fflink_loaded(void) { return g_loaded; }
}
