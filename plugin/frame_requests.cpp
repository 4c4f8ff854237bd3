// Frame requests (not yet built).
#include "frame_requests.h"

#include "state.h"

bool process_frame(QEL_Host*, PluginState&, const QEL_FrameParams*) { return false; }
