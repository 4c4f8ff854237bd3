// A frame's sound: the host's format, and its slice of samples read from the
// host (short deliveries padded with silence) and handed to the writer.
#pragma once

#include "output_plan.h"
#include "state.h"

HostAudioFormat host_audio_format();

// False when the slice could not be taken (the request failed: frame_failed
// set) or the writer refused it (`writerFailed`).
bool write_frame_sound(PluginState& state, const QEL_FrameParams& params, bool& writerFailed);
