// One frame of output: notice cuts, switch outputs by path, pull the frame's
// audio slice and pixels from the host and hand them to the writer.
#include "frame_requests.h"

#include "VelmoraServices.h"
#include "catalogue/catalogue.h"
#include "host_services.h"
#include "messages.h"
#include "panel/Controls.h"
#include "panel/choice_lists.h"
#include "state.h"
#include "writer/FFWriter.h"
#include "writer/frame_rate.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// The host's metadata of one frame, released exactly once.
class FrameMetadata {
public:
    explicit FrameMetadata(double frame) {
        if (auto at = suite_entry<QelNodeMetadataAt>(g_suites.node, NODE_METADATA_AT)) {
            m_handle = at(frame);
            m_acquired = true;
        }
    }
    ~FrameMetadata() {
        auto release = suite_entry<QelNodeMetadataRelease>(g_suites.node, NODE_METADATA_RELEASE);
        if (m_acquired && release) release(m_handle);
    }
    FrameMetadata(const FrameMetadata&) = delete;
    FrameMetadata& operator=(const FrameMetadata&) = delete;

    bool present() const { return m_handle != nullptr; }

    // The host's entries, optionally echoed to the log as "key = value".
    std::vector<MetadataPair> pairs(bool echo) const {
        std::vector<MetadataPair> result;
        auto count = suite_entry<QelNodeMetadataCount>(g_suites.node, NODE_METADATA_COUNT);
        auto key = suite_entry<QelNodeMetadataText>(g_suites.node, NODE_METADATA_KEY);
        auto value = suite_entry<QelNodeMetadataText>(g_suites.node, NODE_METADATA_VALUE);
        if (!m_handle || !count || !key || !value) return result;
        const int32_t n = count(m_handle);
        for (int32_t i = 0; i < n; ++i) {
            MetadataPair pair{key(m_handle, i), value(m_handle, i)};
            if (!pair.key || !pair.value) continue;  // FFmpeg dictionaries take no null key
            if (echo) {
                if (auto info = suite_entry<QelLogFunction>(g_suites.log, LOG_INFO)) info("%s = %s", pair.key, pair.value);
            }
            result.push_back(pair);
        }
        return result;
    }

private:
    void* m_handle = nullptr;
    bool m_acquired = false;
};

void fail_request(PluginState& state, const char* message) {
    host_log(LOG_ERROR, message);
    state.path[0] = '\0';
}

// The writer clamps rates below 0.1 fps to 24 and writes NTSC rates as their
// exact fractions; audio slices follow the same rate.
double effective_fps(double fps) { return slicing_fps(fps >= 0.1 ? fps : 24.0); }

bool detect_cut(QEL_Host* host, PluginState& state, double frame) {
    if (!host->node) return false;
    int32_t context = virtual_operation<QelSegmentContext>(host->node, NODE_SEGMENT_CONTEXT)(host->node, 0);
    const int32_t segment = virtual_operation<QelSegmentAt>(host->node, NODE_SEGMENT_AT)(host->node, frame, &context);
    const bool cut = segment != state.last_segment;
    state.last_segment = segment;
    return cut;
}

int32_t field_order_setting(int32_t hostFieldOrder) {
    switch (hostFieldOrder) {
    case 0: return AV_FIELD_PROGRESSIVE;
    case 1: return AV_FIELD_TB;
    case 2: return AV_FIELD_BT;
    default: return AV_FIELD_UNKNOWN;
    }
}

template <typename List>
const char* label_at(const List& list, int32_t index) {
    return (index >= 0 && size_t(index) < list.size()) ? list[size_t(index)].label : nullptr;
}

// Reads the host's audio format and the channel toggles into the state.
void choose_audio(PluginState& state, WriterSettings& settings) {
    const Controls& controls = *state.controls;
    auto format = suite_entry<QelNodeAudioFormat>(g_suites.node, NODE_AUDIO_FORMAT);
    state.audio_on = format && format(&state.sample_rate, &state.bits_per_sample, &state.bytes_per_sample,
                                      &state.channels, &state.audio_flags);
    if (state.bits_per_sample == 24) state.bits_per_sample = 32;  // 24-bit audio is read as 32-bit samples
    if (!state.audio_on) return;

    state.audio_flags &= ~1;
    state.bytes_per_sample = (state.bits_per_sample + 7) / 8;
    const ChannelSelection selection = select_channels(controls, state.channels);
    state.channel_mask = selection.mask;
    state.channels = selection.count;
    settings.inSampleFormat = input_sample_format(state.bits_per_sample);
    settings.outSampleFormat =
        choose_out_sample_format(state.sample_formats, controls.get_bool(controls.m_sixteenBit), settings.inSampleFormat);
    if (state.channels == 0 || state.sample_rate <= 0 || state.bytes_per_sample <= 0) state.audio_on = false;
}

bool open_output(PluginState& state, const QEL_FrameParams& params) {
    const Controls& controls = *state.controls;
    WriterSettings settings;
    state.audio_on = true;
    state.video_on = true;
    settings.inSampleFormat = -1;
    settings.outSampleFormat = -1;
    choose_audio(state, settings);

    FrameMetadata metadata(params.frame);
    std::vector<MetadataPair> pairs;
    if (metadata.present()) {
        pairs = metadata.pairs(true);
        if (params.reel_id && *params.reel_id) pairs.push_back({"reelid", params.reel_id});
    }

    settings.metadataPairs = pairs.empty() ? nullptr : pairs.data();
    settings.metadataCount = int32_t(pairs.size());
    settings.containerName = selected_container(state);
    settings.videoCodecName = selected_video_encoder(state);
    settings.videoProfile = label_at(state.video_profiles, controls.get_int(controls.m_videoProfile));
    settings.width = params.width;
    settings.height = params.height;
    settings.frameRate = params.fps;
    settings.timecode = params.timecode;
    settings.inPixelFormat = params.channels == 4 ? AV_PIX_FMT_RGBA64LE : AV_PIX_FMT_RGB48LE;
    const int32_t pixelIndex = controls.get_int(controls.m_pixelFormat);
    settings.outPixelFormat = (pixelIndex >= 0 && size_t(pixelIndex) < state.pixel_formats.size())
                                  ? state.pixel_formats[size_t(pixelIndex)].value
                                  : -1;
    settings.fieldOrder = field_order_setting(params.field_order);
    settings.videoBitRate = video_bit_rate_setting(controls.get_int(controls.m_videoBitRate));
    settings.quality = quality_setting(controls.get_int(controls.m_quality));
    settings.keyFrameInterval = controls.get_int(controls.m_keyFrames);
    settings.fastStart = controls.get_bool(controls.m_fastStart);
    settings.vbr = vbr_setting(controls.get_int(controls.m_bitRateMode));
    if (state.audio_on) {
        settings.audioCodecName = selected_audio_encoder(state);
        settings.audioProfile = label_at(state.audio_profiles, controls.get_int(controls.m_audioProfile));
        settings.inSampleRate = state.sample_rate;
        settings.outSampleRate = state.sample_rate;
        settings.channels = state.channels;
        settings.audioBitRate = audio_bit_rate_setting(controls.get_int(controls.m_audioBitRate));
        settings.stereo = controls.get_bool(controls.m_stereo);
    }
    if (!settings.audioCodecName) state.audio_on = false;
    if (!settings.videoCodecName) state.video_on = false;

    if (!state.writer->open(state.path, &settings)) {
        fail_request(state, "QelFFmpegWriter: Failed to create file.");
        return false;
    }
    state.open_width = params.width;
    state.open_height = params.height;
    state.open_channels = params.channels;
    return true;
}

// Silence of the host's sample layout: unsigned 8-bit samples rest at 128.
void fill_silence(uint8_t* data, size_t bytes, int32_t bitsPerSample) {
    std::memset(data, bitsPerSample <= 8 ? 0x80 : 0, bytes);
}

bool write_audio(PluginState& state, const QEL_FrameParams& params) {
    const double fps = effective_fps(params.fps);
    const uint64_t start = uint64_t(std::floor(state.sample_rate * params.frame / fps + 0.5));
    const uint64_t end = uint64_t(std::floor((params.frame + 1) * state.sample_rate / fps + 0.5));
    if (end <= start) return true;
    const uint64_t count = end - start;
    const size_t frameBytes = size_t(state.channels) * size_t(state.bytes_per_sample);
    const size_t bufferSize = frameBytes * count;
    auto* buffer = static_cast<uint8_t*>(std::calloc(1, bufferSize));
    if (!buffer) return true;  // the frame's audio is skipped

    int64_t delivered = 0;
    if (auto read = suite_entry<QelNodeReadAudio>(g_suites.node, NODE_READ_AUDIO))
        delivered = read(state.sample_rate, state.bits_per_sample, state.bytes_per_sample, state.audio_flags,
                         state.channel_mask, params.frame / fps, int64_t(count), buffer, int64_t(bufferSize));
    if (delivered < 0) delivered = 0;
    if (uint64_t(delivered) > count) delivered = int64_t(count);
    // A short delivery is padded with silence so sound and pictures stay in step.
    fill_silence(buffer + size_t(delivered) * frameBytes, size_t(count - uint64_t(delivered)) * frameBytes,
                 state.bits_per_sample);

    const bool ok = state.writer->writeAudio(buffer, int64_t(bufferSize));
    std::free(buffer);
    if (!ok) fail_request(state, "QelFFmpegWriter: Failed to encode/write audio samples");
    return ok;
}

// A host copy of the request's image, for images that cannot be read as they are.
class ImageCopy {
public:
    ImageCopy(const QEL_FrameParams& params) {
        VlIContext* context = srv_get_default_icontext();
        m_image = mem_alloc_image(params.width, params.height, params.channels,
                                  Remap_QelImageFormat2KORVEX(params.image_format), -1);
        if (!context || !m_image) return;
        virtual_operation<QelICopy>(context, ICONTEXT_COPY)(context, m_image, params.image);
        virtual_operation<QelIComplete>(context, ICONTEXT_COMPLETE)(context, m_image);
    }
    ~ImageCopy() {
        if (m_image) img_delete(m_image);
    }
    ImageCopy(const ImageCopy&) = delete;
    ImageCopy& operator=(const ImageCopy&) = delete;
    _image_str* image() const { return m_image; }

private:
    _image_str* m_image = nullptr;
};

bool write_video(PluginState& state, const QEL_FrameParams& params, bool forceKeyFrame) {
    if (params.width != state.open_width || params.height != state.open_height ||
        params.channels != state.open_channels) {
        char message[200];
        std::snprintf(message, sizeof message,
                      "QelFFmpegWriter: frame is %dx%d with %d channels, the output was opened at %dx%d with %d",
                      params.width, params.height, params.channels, state.open_width, state.open_height,
                      state.open_channels);
        host_log(LOG_ERROR, message);
        fail_request(state, "QelFFmpegWriter: Failed to encode/write video frame");
        return false;
    }

    FrameMetadata metadata(params.frame);
    const std::vector<MetadataPair> pairs = metadata.pairs(false);

    _image_str* image = params.image;
    std::unique_ptr<ImageCopy> copy;
    auto isDirect = suite_entry<QelImageIsDirect>(g_suites.image, IMAGE_IS_DIRECT);
    if (image && isDirect && !isDirect(image)) {
        copy.reset(new ImageCopy(params));
        image = copy->image();
    }
    auto data = suite_entry<QelImageData>(g_suites.image, IMAGE_DATA);
    const void* pixels = (image && data) ? data(image) : nullptr;
    if (!pixels) {
        host_log(LOG_ERROR, "QelFFmpegWriter: the host gave no pixels for the frame");
        fail_request(state, "QelFFmpegWriter: Failed to encode/write video frame");
        return false;
    }

    const bool ok = state.writer->writeVideoFrame(pixels, pairs.empty() ? nullptr : pairs.data(),
                                                  int32_t(pairs.size()), forceKeyFrame, params.timecode);
    if (!ok) fail_request(state, "QelFFmpegWriter: Failed to encode/write video frame");
    return ok;
}

bool process(QEL_Host* host, PluginState& state, const QEL_FrameParams* params) {
    const char* path = params->path ? params->path : "";  // a null path finalises like an empty one

    const bool forceKeyFrame = detect_cut(host, state, params->frame);

    if (std::strcmp(path, state.path) != 0) {
        if (state.path[0] && !state.writer->close()) {
            fail_request(state, "QelFFmpegWriter: Failed to close file");
            return false;
        }
        if (std::strlen(path) >= sizeof state.path) {
            // A cut copy would never equal the request's path again and reopen every frame.
            state.path[0] = '\0';
            host_log(LOG_ERROR, "QelFFmpegWriter: output path is longer than 259 characters");
            return false;
        }
        copy_text(state.path, path);
        if (!state.path[0]) return true;
        if (!open_output(state, *params)) return false;
    }

    if (!state.path[0]) return true;
    if (state.audio_on && !write_audio(state, *params)) return false;
    if (state.video_on && !write_video(state, *params, forceKeyFrame)) return false;
    return true;
}

}  // namespace

bool process_frame(QEL_Host* host, PluginState& state, const QEL_FrameParams* params) {
    if (!host || !params || !state.writer || !state.controls) return false;
    try {
        return process(host, state, params);
    } catch (...) {
        // Nothing may cross into the host; out of memory is the only cause.
        fail_request(state, "QelFFmpegWriter: memory allocation error");
        return false;
    }
}
