// One frame of output: notice cuts, switch outputs by path, pull the frame's
// audio slice and pixels from the host and hand them to the writer.
#include "frame_requests.h"

#include "output_plan.h"
#include "state.h"

#include "VelmoraServices.h"
#include "base/host_services.h"
#include "base/log.h"
#include "base/text.h"
#include "panel/Controls.h"
#include "writer/FFWriter.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
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

    std::vector<MetadataPair> pairs() const {
        std::vector<MetadataPair> result;
        auto count = suite_entry<QelNodeMetadataCount>(g_suites.node, NODE_METADATA_COUNT);
        auto key = suite_entry<QelNodeMetadataText>(g_suites.node, NODE_METADATA_KEY);
        auto value = suite_entry<QelNodeMetadataText>(g_suites.node, NODE_METADATA_VALUE);
        if (!m_handle || !count || !key || !value) return result;
        const int32_t n = count(m_handle);
        for (int32_t i = 0; i < n; ++i) {
            MetadataPair pair{key(m_handle, i), value(m_handle, i)};
            if (!pair.key || !pair.value) continue;  // FFmpeg dictionaries take no null key
            result.push_back(pair);
        }
        return result;
    }

private:
    void* m_handle = nullptr;
    bool m_acquired = false;
};

// The opening frame's entries, told to the host's log as "key = value".
void echo(const std::vector<MetadataPair>& pairs) {
    auto info = suite_entry<QelLogFunction>(g_suites.log, LOG_INFO);
    if (!info) return;
    for (const MetadataPair& pair : pairs) info("%s = %s", pair.key, pair.value);
}

void fail_request(PluginState& state, const char* message) {
    host_log(LOG_ERROR, message);
    state.path[0] = '\0';
}

bool detect_cut(QEL_Host* host, PluginState& state, double frame) {
    if (!host->node) return false;
    int32_t context = virtual_operation<QelSegmentContext>(host->node, NODE_SEGMENT_CONTEXT)(host->node, 0);
    const int32_t segment = virtual_operation<QelSegmentAt>(host->node, NODE_SEGMENT_AT)(host->node, frame, &context);
    const bool cut = segment != state.last_segment;
    state.last_segment = segment;
    return cut;
}

HostAudioFormat host_audio_format() {
    HostAudioFormat audio;
    auto format = suite_entry<QelNodeAudioFormat>(g_suites.node, NODE_AUDIO_FORMAT);
    audio.present = format && format(&audio.sample_rate, &audio.bits_per_sample, &audio.bytes_per_sample,
                                     &audio.channels, &audio.flags);
    return audio;
}

// The frame's metadata, fetched once for the frame whoever asks first.
using FrameMetadataSlot = std::optional<FrameMetadata>;
const FrameMetadata& metadata_of(FrameMetadataSlot& slot, double frame) {
    if (!slot) slot.emplace(frame);
    return *slot;
}

bool open_output(PluginState& state, const QEL_FrameParams& params, FrameMetadataSlot& frameMetadata) {
    const HostAudioFormat audio = host_audio_format();
    const FrameMetadata& metadata = metadata_of(frameMetadata, params.frame);
    std::vector<MetadataPair> pairs;
    if (metadata.present()) {
        pairs = metadata.pairs();
        echo(pairs);
        if (params.reel_id && *params.reel_id) pairs.push_back({"reelid", params.reel_id});
    }
    const OutputPlan plan =
        plan_output(*state.controls, state.lists, {params, audio, pairs, kconfig_get_bool(KCONFIG_NO_METADATA)});
    state.audio = plan.audio;
    state.audio_on = plan.audio_on;
    state.video_on = plan.video_on;

    WriterSettings settings = plan.settings;
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
    const AudioSlicing& audio = state.audio;
    const double rate = audio.sample_rate;
    const uint64_t start = uint64_t(std::floor(rate * params.frame / audio.fps + 0.5));
    const uint64_t end = uint64_t(std::floor((params.frame + 1) * rate / audio.fps + 0.5));
    if (end <= start) return true;
    const uint64_t count = end - start;
    const size_t frameBytes = size_t(audio.channels) * size_t(audio.bytes_per_sample);
    const size_t bufferSize = frameBytes * count;
    // Skipping the slice would shift all later sound against the pictures.
    std::unique_ptr<uint8_t, decltype(&std::free)> buffer(static_cast<uint8_t*>(std::calloc(1, bufferSize)), std::free);
    if (!buffer) {
        fail_request(state, "QelFFmpegWriter: memory allocation error (audio samples)");
        return false;
    }

    int64_t delivered = 0;
    if (auto read = suite_entry<QelNodeReadAudio>(g_suites.node, NODE_READ_AUDIO))
        delivered = read(rate, audio.bits_per_sample, audio.bytes_per_sample, audio.flags, audio.channel_mask,
                         params.frame / audio.fps, int64_t(count), buffer.get(), int64_t(bufferSize));
    if (delivered < 0) delivered = 0;
    if (uint64_t(delivered) > count) delivered = int64_t(count);
    // A short delivery is padded with silence so sound and pictures stay in step.
    fill_silence(buffer.get() + size_t(delivered) * frameBytes, size_t(count - uint64_t(delivered)) * frameBytes,
                 audio.bits_per_sample);

    const bool ok = state.writer->writeAudio(buffer.get(), int64_t(bufferSize));
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

bool write_video(PluginState& state, const QEL_FrameParams& params, FrameMetadataSlot& frameMetadata,
                 bool forceKeyFrame) {
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

    const std::vector<MetadataPair> pairs = metadata_of(frameMetadata, params.frame).pairs();

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
    bool opening = false;

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
        opening = true;
    }
    if (!state.path[0]) return true;

    // The opening frame's metadata tags the file and the frame itself.
    FrameMetadataSlot metadata;
    if (opening && !open_output(state, *params, metadata)) return false;
    if (state.audio_on && !write_audio(state, *params)) return false;
    if (state.video_on && !write_video(state, *params, metadata, forceKeyFrame)) return false;
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
