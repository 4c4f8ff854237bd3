// The host's 16-bit RGBA frames of a raw file converted as the writer converts
// them, into a raw file of the encoder's pixel format: the pictures the
// encoder-alone runs of the codec table encode, so that they code what the
// plug-in's encoder codes.
//   convert_frames IN.rgba64le WIDTHxHEIGHT PIXEL_FORMAT OUT
#include "writer/picture/picture_converter.h"

#include "base/ffmpeg_ptr.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    int width = 0, height = 0;
    const AVPixelFormat format = argc == 5 ? av_get_pix_fmt(argv[3]) : AV_PIX_FMT_NONE;
    if (argc != 5 || std::sscanf(argv[2], "%dx%d", &width, &height) != 2 || width < 1 || height < 1 ||
        format == AV_PIX_FMT_NONE) {
        std::fprintf(stderr, "usage: convert_frames IN.rgba64le WIDTHxHEIGHT PIXEL_FORMAT OUT\n");
        return 2;
    }
    ConverterSetup setup;
    setup.width = width;
    setup.height = height;
    setup.inFormat = AV_PIX_FMT_RGBA64LE;
    setup.outFormat = format;
    PictureConverter converter;
    FramePtr out(av_frame_alloc());
    if (!converter.open(setup) || !out) {
        std::fprintf(stderr, "convert_frames: the writer's one-pass converter makes no %s\n", argv[3]);
        return 1;
    }
    out->format = format;
    out->width = width;
    out->height = height;
    FILE* in = std::fopen(argv[1], "rb");
    FILE* target = std::fopen(argv[4], "wb");
    const int size = av_image_get_buffer_size(format, width, height, 1);
    if (!in || !target || av_frame_get_buffer(out.get(), 0) < 0 || size <= 0) {
        std::fprintf(stderr, "convert_frames: cannot read %s or write %s\n", argv[1], argv[4]);
        return 1;
    }
    std::vector<uint16_t> host(size_t(width) * size_t(height) * 4);
    std::vector<uint8_t> packed(static_cast<size_t>(size));
    while (std::fread(host.data(), sizeof(uint16_t), host.size(), in) == host.size()) {
        converter.convert(reinterpret_cast<const uint8_t*>(host.data()), out.get());
        av_image_copy_to_buffer(packed.data(), size, out->data, out->linesize, format, width, height, 1);
        if (std::fwrite(packed.data(), 1, packed.size(), target) != packed.size()) return 1;
    }
    const bool ok = std::fclose(target) == 0;
    std::fclose(in);
    return ok ? 0 : 1;
}
