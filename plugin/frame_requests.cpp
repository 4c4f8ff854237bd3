// One frame of output: notice cuts, switch outputs by path, pull the frame's
// audio slice and pixels from the host and hand them to the writer.
#include "frame_requests.h"

#include "host_picture.h"
#include "output_plan.h"
#include "state.h"

#include "VelmoraServices.h"
#include "base/host_services.h"
#include "base/log.h"
#include "base/text.h"
#include "panel/Controls.h"
#include "writer/FFWriter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

// A gap longer than this after a failed request is not filled.
constexpr double MAX_GAP_SECONDS = 600;

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

// The writer failed: its movie is finished with what it has, and the path
// stays, so that later frames to it cannot make it anew and lose it.
void fail_output(PluginState& state, const char* message) {
    host_log(LOG_ERROR, message);
    state.writer->close();
    state.writer_failed = true;
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
        host_log(LOG_ERROR, "QelFFmpegWriter: Failed to create file.");
        state.path[0] = '\0';
        return false;
    }
    state.first_frame = params.frame;
    state.wrote_frame = state.frame_failed = state.writer_failed = false;
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
        host_log(LOG_ERROR, "QelFFmpegWriter: memory allocation error (audio samples)");
        state.frame_failed = true;
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
    if (!ok) fail_output(state, "QelFFmpegWriter: Failed to encode/write audio samples");
    return ok;
}

// A frame whose picture cannot be taken fails alone: nothing of it is
// written, and the output goes on.
bool take_picture(PluginState& state, const QEL_FrameParams& params, HostPicture& picture) {
    std::string why;
    if (params.width != state.open_width || params.height != state.open_height ||
        params.channels != state.open_channels) {
        char message[200];
        std::snprintf(message, sizeof message,
                      "QelFFmpegWriter: frame is %dx%d with %d channels, the output was opened at %dx%d with %d",
                      params.width, params.height, params.channels, state.open_width, state.open_height,
                      state.open_channels);
        why = message;
    } else if (picture.take(params, why)) {
        return true;
    }
    host_log(LOG_ERROR, why.c_str());
    host_log(LOG_ERROR, "QelFFmpegWriter: Failed to encode/write video frame");
    state.frame_failed = true;
    return false;
}

bool write_video(PluginState& state, const QEL_FrameParams& params, FrameMetadataSlot& frameMetadata,
                 bool forceKeyFrame, const HostPicture& picture) {
    const std::vector<MetadataPair> pairs = metadata_of(frameMetadata, params.frame).pairs();
    const bool ok = state.writer->writeVideoFrame(picture.pixels(), pairs.empty() ? nullptr : pairs.data(),
                                                  int32_t(pairs.size()), forceKeyFrame, params.timecode);
    if (!ok) fail_output(state, "QelFFmpegWriter: Failed to encode/write video frame");
    return ok;
}

// After a failed request the host goes on with a later frame: the frames it
// did not get take their place in time, with the host's sound and the last
// picture again.
bool fill_gap(PluginState& state, const QEL_FrameParams& params) {
    const double next = state.wrote_frame ? state.last_frame + 1 : state.first_frame;
    const double missing = std::floor(params.frame - next + 0.5);
    if (missing < 1) return true;
    if (missing > MAX_GAP_SECONDS * std::max(params.fps, 1.0)) {
        host_log(LOG_WARNING, "QelFFmpegWriter: the host skipped too many frames to fill; the movie goes on from here");
        return true;
    }
    QEL_FrameParams filler = params;
    for (double n = 0; n < missing; ++n) {
        filler.frame = next + n;
        if (state.audio_on && !write_audio(state, filler)) return false;
        if (state.video_on && !state.writer->repeatLastFrame()) {
            fail_output(state, "QelFFmpegWriter: Failed to encode/write video frame");
            return false;
        }
    }
    return true;
}

// After a failure, a frame that does not follow the last one written starts
// the render over: the output is made anew, as for any first request.
bool starts_over(const PluginState& state, const QEL_FrameParams& params) {
    if (!state.path[0] || !(state.frame_failed || state.writer_failed)) return false;
    const double next = state.wrote_frame ? state.last_frame + 1 : state.first_frame;
    return params.frame < next - 0.5;
}

bool process(QEL_Host* host, PluginState& state, const QEL_FrameParams* params) {
    const char* path = params->path ? params->path : "";  // a null path finalises like an empty one

    const bool forceKeyFrame = detect_cut(host, state, params->frame);
    bool opening = false;

    if (std::strcmp(path, state.path) != 0 || starts_over(state, *params)) {
        if (state.path[0] && !state.writer->close()) {
            state.path[0] = '\0';
            host_log(LOG_ERROR, "QelFFmpegWriter: Failed to close file");
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
    if (!opening && state.writer_failed) {
        host_log(LOG_ERROR, "QelFFmpegWriter: the output was finished after the error above; later frames are not "
                            "written to it");
        return false;
    }

    // The opening frame's metadata tags the file and the frame itself.
    FrameMetadataSlot metadata;
    if (opening && !open_output(state, *params, metadata)) return false;
    HostPicture picture;
    if (state.video_on && !take_picture(state, *params, picture)) return false;
    if (state.frame_failed && !fill_gap(state, *params)) return false;
    if (state.audio_on && !write_audio(state, *params)) return false;
    if (state.video_on && !write_video(state, *params, metadata, forceKeyFrame, picture)) return false;
    state.last_frame = params->frame;
    state.wrote_frame = true;
    state.frame_failed = false;
    return true;
}

}  // namespace

bool process_frame(QEL_Host* host, PluginState& state, const QEL_FrameParams* params) {
    if (!host || !params || !state.writer || !state.controls) return false;
    try {
        return process(host, state, params);
    } catch (...) {
        // Nothing may cross into the host; out of memory is the only cause.
        host_log(LOG_ERROR, "QelFFmpegWriter: memory allocation error");
        state.frame_failed = true;
        return false;
    }
}
