// A clip read from a file of raw 16-bit RGBA (rgba64le) pictures, as the
// render benchmark feeds the same bytes to the plug-in and to the ffmpeg tool.
#pragma once

#include "host/harness/render.h"

#include <cstddef>
#include <string>

namespace qelhost {

class RawVideoClip : public ClipSource {
public:
    // Frames past the end of the file start again from its first picture.
    RawVideoClip(const std::string& path, int32_t width, int32_t height, double fps, int64_t frames);
    ~RawVideoClip() override;
    RawVideoClip(const RawVideoClip&) = delete;
    RawVideoClip& operator=(const RawVideoClip&) = delete;

    bool ok() const { return m_fd >= 0 && m_fileFrames > 0; }
    int64_t file_frames() const { return m_fileFrames; }

    int32_t width() const override { return m_width; }
    int32_t height() const override { return m_height; }
    int32_t channels() const override { return 4; }
    double fps() const override { return m_fps; }
    int64_t frame_count() const override { return m_frames; }
    // The picture shows the frame where the file is mapped, until the next
    // draw: a host renders into memory, and copying from the page cache
    // would charge the plug-in's render with a cost no host has.
    bool draw(int64_t frame, Picture& picture) override;

private:
    void unmap();

    int m_fd = -1;
    int32_t m_width;
    int32_t m_height;
    double m_fps;
    int64_t m_frames;
    int64_t m_fileFrames = 0;
    void* m_mapped = nullptr;
    size_t m_mappedBytes = 0;
};

}  // namespace qelhost
