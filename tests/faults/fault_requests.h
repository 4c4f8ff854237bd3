// Requests the fault tests send, and the error lines they look for.
#pragma once

#include "requests/request_fixture.h"

#include <string>

// An error-level line of the host's log containing `part`.
inline bool logged(const qelhost::HostLog& log, const std::string& part) {
    for (const std::string& text : log.texts(4))
        if (text.find(part) != std::string::npos) return true;
    return false;
}
