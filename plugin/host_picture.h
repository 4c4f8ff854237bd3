// The pixels of a request's host image, ready for the writer: read as they
// are when the host allows it, else from a copy the host makes first.
#pragma once

#include "base/qel_abi.h"

#include <string>

class HostPicture {
public:
    HostPicture() = default;
    ~HostPicture();
    HostPicture(const HostPicture&) = delete;
    HostPicture& operator=(const HostPicture&) = delete;

    // False, with the reason in `why`, when the host gives no pixels for the
    // frame or cannot copy its image.
    bool take(const QEL_FrameParams& params, std::string& why);
    const void* pixels() const { return m_pixels; }

private:
    _image_str* m_copy = nullptr;  // the host's copy, deleted with this
    const void* m_pixels = nullptr;
};
