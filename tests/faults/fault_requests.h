// Requests the fault tests send, and the error lines they look for.
#pragma once

#include "requests/request_fixture.h"

#include <string>

// Sends `frames` requests to `path` from frame `first`, then the empty path;
// true when every request succeeded.
inline bool render_frames(qelhost::StandinHost& host, const std::string& path, int frames, int first = 0) {
    qelhost::Picture picture(64, 48);
    qelhost::FrameRequest request;
    request.picture = &picture;
    request.path = path;
    bool ok = true;
    for (int frame = first; frame < first + frames && ok; ++frame) {
        request.frame = frame;
        picture.draw_test_pattern(frame);
        ok = host.process(request);
    }
    request.path.clear();
    return host.process(request) && ok;
}

// An error-level line of the host's log containing `part`.
inline bool logged(const qelhost::HostLog& log, const std::string& part) {
    for (const std::string& text : log.texts(4))
        if (text.find(part) != std::string::npos) return true;
    return false;
}
