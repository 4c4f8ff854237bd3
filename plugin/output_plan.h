// What one output will be, worked out before anything opens: the writer's
// settings and how each frame's sound is read from the host.
#pragma once

#include "base/qel_abi.h"
#include "panel/presenter.h"
#include "writer/settings/writer_settings.h"

#include <cstdint>
#include <vector>

// The host's sound as its Node suite describes it.
struct HostAudioFormat {
    bool present = false;
    double sample_rate = 0;
    int32_t bits_per_sample = 0;
    int32_t bytes_per_sample = 0;
    int32_t channels = 0;
    int32_t flags = 0;
};

// How a frame's slice of sound is asked for.
struct AudioSlicing {
    int32_t sample_rate = 0;
    int32_t bits_per_sample = 0;
    int32_t bytes_per_sample = 0;
    int32_t channels = 0;  // those the panel's channel toggles keep
    uint32_t channel_mask = 0;
    int32_t flags = 0;
    double fps = 0;  // the rate frames are sliced at
};

// What the host gives for the opening frame.
struct OutputRequest {
    const QEL_FrameParams& params;
    HostAudioFormat audio;
    // The opening frame's metadata (and reel), pointed to by the settings:
    // must outlive the open.
    const std::vector<MetadataPair>& metadata;
    bool noMetadata;
};

struct OutputPlan {
    WriterSettings settings;
    AudioSlicing audio;
    bool audio_on = false;
    bool video_on = false;
};

// Reads the panel's values and lists; changes nothing.
OutputPlan plan_output(const Controls& controls, const PanelLists& lists, const OutputRequest& request);
