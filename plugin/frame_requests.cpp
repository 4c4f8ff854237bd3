// One frame of output: notice cuts, switch outputs by path, fill the frames
// a failed request left out, and hand the frame's sound (frame_sound.cpp),
// picture and metadata (frame_metadata.cpp) to the writer.
#include "frame_requests.h"

#include "frame_metadata.h"
#include "frame_sound.h"
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

bool open_output(PluginState& state, const QEL_FrameParams& params, FrameMetadataSlot& frameMetadata) {
    const HostAudioFormat audio = host_audio_format();
    const FrameMetadata& metadata = metadata_of(frameMetadata, params.frame, state.frame_pairs);
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
    if (!state.writer->open(state.path, settings)) {
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

// A frame whose picture cannot be taken fails alone: nothing of it is
// written, and the output goes on.
bool take_picture(PluginState& state, const QEL_FrameParams& params, HostPicture& picture) {
    std::string why;
    if (params.channels != 3 && params.channels != 4) {
        // Read as RGB, a picture of fewer samples would be read past its end.
        char message[120];
        std::snprintf(message, sizeof message,
                      "QelFFmpegWriter: a picture of %d channels cannot be read; pictures come with 3 (RGB) or 4 (RGBA)",
                      params.channels);
        why = message;
    } else if (params.width != state.open_width || params.height != state.open_height ||
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
    const std::vector<MetadataPair>& pairs = metadata_of(frameMetadata, params.frame, state.frame_pairs).pairs();
    const bool ok = state.writer->writeVideoFrame(picture.pixels(), pairs.empty() ? nullptr : pairs.data(),
                                                  int32_t(pairs.size()), forceKeyFrame, params.timecode);
    if (!ok) fail_output(state, "QelFFmpegWriter: Failed to encode/write video frame");
    return ok;
}

bool write_audio(PluginState& state, const QEL_FrameParams& params) {
    bool writerFailed = false;
    if (write_frame_sound(state, params, writerFailed)) return true;
    if (writerFailed) fail_output(state, "QelFFmpegWriter: Failed to encode/write audio samples");
    return false;
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
