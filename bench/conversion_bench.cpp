// Time of the host-pixels-to-encoder step alone for one frame (1080p unless
// told), beside the time to just read the same bytes (memcpy), so the
// distance to the memory limit shows. The converters are set up as the writer
// sets them up: BT.709, limited-range YUV; libswscale (fast bilinear) with one
// thread and with its slice threads, and the writer's one-pass converter on
// each vectorised target this processor runs. The line marked "(the writer)"
// is the route the writer takes. Each figure is the median frame of the run.
//   conversion_bench [frames] [WIDTHxHEIGHT] [pixel format ...]
#include "writer/picture/picture_converter.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

int WIDTH = 1920;
int HEIGHT = 1080;

using Clock = std::chrono::steady_clock;

// The median of `frames` runs of `once`, in ms: a burst of other work on a
// shared machine moves a few runs, not the median, and one lucky run (a
// frame the cache still held) does not count for all.
template <typename Run>
double median_ms(int frames, Run&& once) {
    std::vector<double> times;
    for (int i = 0; i < frames; ++i) {
        const auto start = Clock::now();
        once();
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

SwsContext* make_converter(AVPixelFormat out, int threads) {
    SwsContext* sws = sws_alloc_context();
    av_opt_set_int(sws, "srcw", WIDTH, 0);
    av_opt_set_int(sws, "srch", HEIGHT, 0);
    av_opt_set_int(sws, "src_format", AV_PIX_FMT_RGBA64LE, 0);
    av_opt_set_int(sws, "dstw", WIDTH, 0);
    av_opt_set_int(sws, "dsth", HEIGHT, 0);
    av_opt_set_int(sws, "dst_format", out, 0);
    av_opt_set_int(sws, "sws_flags", SWS_FAST_BILINEAR, 0);
    av_opt_set_int(sws, "threads", threads, 0);
    if (sws_init_context(sws, nullptr, nullptr) < 0) std::exit(1);
    sws_setColorspaceDetails(sws, sws_getCoefficients(SWS_CS_ITU709), 1, sws_getCoefficients(SWS_CS_ITU709), 0, 0,
                             1 << 16, 1 << 16);
    return sws;
}

double convert(AVPixelFormat out, int threads, const std::vector<uint16_t>& pixels, int frames) {
    SwsContext* sws = make_converter(out, threads);
    AVFrame* in = av_frame_alloc();
    AVFrame* dst = av_frame_alloc();
    in->format = AV_PIX_FMT_RGBA64LE;
    in->width = WIDTH;
    in->height = HEIGHT;
    av_frame_get_buffer(in, 0);
    for (int y = 0; y < HEIGHT; ++y)
        std::memcpy(in->data[0] + size_t(y) * size_t(in->linesize[0]), pixels.data() + size_t(y) * WIDTH * 4,
                    size_t(WIDTH) * 8);
    dst->format = out;
    dst->width = WIDTH;
    dst->height = HEIGHT;
    av_frame_get_buffer(dst, 0);
    sws_scale_frame(sws, dst, in);  // warm up
    const double ms = median_ms(frames, [&] { sws_scale_frame(sws, dst, in); });
    av_frame_free(&in);
    av_frame_free(&dst);
    sws_freeContext(sws);
    return ms;
}

// The one-pass converter on `target` (0: the writer's dispatch); -1 when it
// does not make `out`.
double convert_one_pass(AVPixelFormat out, const std::vector<uint16_t>& pixels, int frames, int64_t target) {
    ConverterSetup setup;
    setup.width = WIDTH;
    setup.height = HEIGHT;
    setup.inFormat = AV_PIX_FMT_RGBA64LE;
    setup.outFormat = out;
    PictureConverter converter;
    if (!converter.open(setup)) return -1;
    AVFrame* dst = av_frame_alloc();
    dst->format = out;
    dst->width = WIDTH;
    dst->height = HEIGHT;
    av_frame_get_buffer(dst, 0);
    const auto* source = reinterpret_cast<const uint8_t*>(pixels.data());
    const auto once = [&] {
        if (target == 0)
            converter.convert(source, dst);
        else
            converter.convert(source, dst, [&](const qel::RowJob& job) { qel::convert_rows_on(target, job); });
    };
    once();  // warm up
    const double ms = median_ms(frames, once);
    av_frame_free(&dst);
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::atoi(argv[1]) : 50;
    if (frames < 1) {
        std::fprintf(stderr, "usage: conversion_bench [frames] [WIDTHxHEIGHT] [pixel format ...]\n");
        return 2;
    }
    if (argc > 2) {
        char tail = 0;
        // Even sizes only: the writer refuses odd ones.
        if (std::sscanf(argv[2], "%dx%d%c", &WIDTH, &HEIGHT, &tail) != 2 || WIDTH < 2 || HEIGHT < 2 ||
            WIDTH > 8192 || HEIGHT > 8192 || WIDTH % 2 || HEIGHT % 2) {
            std::fprintf(stderr, "conversion_bench: size wants WIDTHxHEIGHT, even, at most 8192, not %s\n", argv[2]);
            return 2;
        }
    }
    std::vector<AVPixelFormat> formats = {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV422P10LE};
    if (argc > 3) formats.clear();
    for (int i = 3; i < argc; ++i) {
        const AVPixelFormat format = av_get_pix_fmt(argv[i]);
        if (format == AV_PIX_FMT_NONE || !sws_isSupportedOutput(format)) {
            std::fprintf(stderr, "conversion_bench: libswscale makes no %s\n", argv[i]);
            return 2;
        }
        formats.push_back(format);
    }
    std::vector<uint16_t> pixels(size_t(WIDTH) * HEIGHT * 4);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint16_t(i * 2654435761u >> 7);
    std::vector<uint16_t> copy(pixels.size());

    std::memcpy(copy.data(), pixels.data(), pixels.size() * 2);
    const double memcpyMs = median_ms(frames, [&] {
        std::memcpy(copy.data(), pixels.data(), pixels.size() * 2);
        asm volatile("" : : "r"(copy.data()) : "memory");
    });

    char frameName[32];
    if (WIDTH == 16 * HEIGHT / 9 && HEIGHT % 9 == 0)
        std::snprintf(frameName, sizeof frameName, "%dp", HEIGHT);
    else
        std::snprintf(frameName, sizeof frameName, "%dx%d", WIDTH, HEIGHT);
    std::printf("%s frame of 16-bit RGBA (%.1f MB), %d frames each\n", frameName, pixels.size() * 2 / 1e6, frames);
    std::printf("%-34s %8.2f ms/frame\n", "memcpy of the host frame", memcpyMs);
    for (AVPixelFormat out : formats) {
        const double one = convert(out, 1, pixels, frames);
        const double threaded = convert(out, 0, pixels, frames);
        char label[64];
        std::snprintf(label, sizeof label, "-> %s, 1 thread", av_get_pix_fmt_name(out));
        std::printf("%-34s %8.2f ms/frame  (%.1fx memcpy)\n", label, one, one / memcpyMs);
        const double writer = convert_one_pass(out, pixels, frames, 0);
        // Without the one-pass converter the writer converts with slice threads.
        std::snprintf(label, sizeof label, "-> %s, slice threads%s", av_get_pix_fmt_name(out),
                      writer < 0 ? " (the writer)" : "");
        std::printf("%-34s %8.2f ms/frame  (%.1fx memcpy)\n", label, threaded, threaded / memcpyMs);
        if (writer < 0) continue;
        for (int64_t target : qel::conversion_targets()) {
            const double ms = convert_one_pass(out, pixels, frames, target);
            std::snprintf(label, sizeof label, "-> %s, one pass, %s", av_get_pix_fmt_name(out),
                          qel::conversion_target_name(target));
            std::printf("%-34s %8.2f ms/frame  (%.1fx memcpy)\n", label, ms, ms / memcpyMs);
        }
        std::snprintf(label, sizeof label, "-> %s, one pass (the writer)", av_get_pix_fmt_name(out));
        std::printf("%-34s %8.2f ms/frame  (%.1fx memcpy)\n", label, writer, writer / memcpyMs);
    }
    return 0;
}
