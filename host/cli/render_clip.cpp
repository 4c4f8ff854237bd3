// The clip a render sends: raw pictures, a media file decoded, or the demo
// test picture with its tone; and where its output goes by default.
#include "render_clip.h"

#include "host/tools/demo_clip.h"
#include "host/tools/media_clip.h"
#include "host/tools/raw_clip.h"

#include <cmath>
#include <cstdio>
#include <filesystem>

namespace {

void parse_size(const std::string& text, int32_t& width, int32_t& height) {
    int w = 0, h = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%dx%d%c", &w, &h, &tail) != 2 || w <= 0 || h <= 0 || w > 16384 || h > 16384)
        fail("--size wants WIDTHxHEIGHT, e.g. 1280x720, not \"" + text + "\"");
    width = w;
    height = h;
}

}  // namespace

std::unique_ptr<qelhost::ClipSource> make_clip(const RenderCommandOptions& options) {
    int32_t width = 0, height = 0;
    if (!options.size.empty()) parse_size(options.size, width, height);

    if (!options.raw.empty()) {
        if (width <= 0) fail("--raw needs --size: the file holds only pixels");
        auto clip = std::make_unique<qelhost::RawVideoClip>(options.raw, width, height,
                                                            options.fps > 0 ? options.fps : 25.0, options.frames);
        if (!clip->ok()) fail(options.raw + ": not a file of " + options.size + " rgba64le pictures");
        return clip;
    }

    if (!options.input.empty()) {
        qelhost::MediaClipOptions media;
        media.width = width;
        media.height = height;
        media.fps = options.fps;
        media.frames = options.frames;
        media.audio_rate = options.audio_rate;
        media.audio_channels = options.audio_channels;
        media.audio_bits = options.audio_bits;
        media.cuts = options.cuts;
        std::string error;
        std::unique_ptr<qelhost::MediaClip> clip = qelhost::MediaClip::open(options.input, media, error);
        if (!clip) fail(error);
        return clip;
    }

    qelhost::ClipShape demo;
    demo.width = width > 0 ? width : 1920;
    demo.height = width > 0 ? height : 1080;
    demo.fps = options.fps > 0 ? options.fps : 25;
    demo.frames = options.frames >= 0 ? options.frames : std::llround(10 * demo.fps);
    demo.cuts = options.cuts;
    const int channels = options.audio_channels >= 0 ? options.audio_channels : 2;
    if (channels > 0)
        demo.audio = qelhost::AudioClip::tone(options.audio_rate > 0 ? options.audio_rate : 48000, channels,
                                              options.audio_bits > 0 ? options.audio_bits : 16);
    else
        demo.audio.reset();
    return std::make_unique<qelhost::DemoClip>(std::move(demo));
}

std::string default_output(const RenderCommandOptions& options, const char* extension) {
    std::string stem = "demo";
    if (!options.input.empty()) stem = std::filesystem::path(options.input).stem().string();
    if (!options.raw.empty()) stem = std::filesystem::path(options.raw).stem().string();
    std::string path = "out/" + stem;
    if (extension && *extension) path += std::string(".") + extension;
    return path;
}
