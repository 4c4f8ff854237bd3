// A black picture of an encoder's own layout and size.
#pragma once

#include "base/ffmpeg_ptr.h"

// Null when it cannot be made.
FramePtr blank_picture(const AVCodecContext& context);
