// One plug-in instance's state, parked in QEL_Host.plugin_data.
#pragma once

#include "output_plan.h"

#include "base/text.h"
#include "panel/presenter.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

class FFWriter;
class Controls;

struct PluginState {
    PluginState();
    ~PluginState();

    // The presenter's reach over this instance's controls and lists; its
    // messages go where the writer's do.
    Panel panel();

    std::unique_ptr<FFWriter> writer;
    std::unique_ptr<Controls> controls;
    PanelLists lists;
    bool audio_on = false;
    bool video_on = false;
    char path[PATH_SIZE] = {};
    int32_t last_segment = -1;
    // How the open output's sound is read, frame by frame, and the buffer
    // each frame's slice is read into.
    AudioSlicing audio;
    std::unique_ptr<uint8_t, void (*)(void*)> sound_slice{nullptr, std::free};
    size_t sound_slice_size = 0;
    // The frame's metadata entries, their room kept from frame to frame.
    std::vector<MetadataPair> frame_pairs;
    // How the open output has gone: the frame it opened with, the last frame
    // written, a request that failed since (the output goes on), a writer
    // that failed (the output is finished).
    double first_frame = 0;
    double last_frame = 0;
    bool wrote_frame = false;
    bool frame_failed = false;
    bool writer_failed = false;
    // Picture layout of the open output: the host must not change it mid-output.
    int32_t open_width = 0;
    int32_t open_height = 0;
    int32_t open_channels = 0;
};
