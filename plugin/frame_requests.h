// ACTION_PROCESS: one frame of output.
#pragma once

#include "base/qel_abi.h"

struct PluginState;

bool process_frame(QEL_Host* host, PluginState& state, const QEL_FrameParams* params);
