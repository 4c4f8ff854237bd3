// Any media file FFmpeg can read, as a clip of the host: pictures decoded and
// converted to the host's 16-bit RGBA, sound to interleaved samples.
#pragma once

#include "host/harness/render.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qelhost {

struct MediaClipOptions {
    int32_t width = 0;  // 0: the file's size
    int32_t height = 0;
    double fps = 0;             // 0: the file's rate; otherwise frames are relabelled
    int64_t frames = -1;        // at most this many; -1: all
    double audio_rate = 0;      // 0: the file's rate
    int32_t audio_channels = -1;  // -1: the file's; 0: no sound
    int32_t audio_bits = 0;     // 0: 16, or 24/32 for sources wider than 16 bits
    std::vector<double> cuts;
};

class MediaClip : public ClipSource {
public:
    // Null with `error` set when the file cannot be read or has no pictures.
    static std::unique_ptr<MediaClip> open(const std::string& path, const MediaClipOptions& options,
                                           std::string& error);
    ~MediaClip() override;

    int32_t width() const override;
    int32_t height() const override;
    double fps() const override;
    int64_t frame_count() const override;
    // Frames come in order; the picture is written by the converter directly.
    bool draw(int64_t frame, Picture& picture) override;
    std::optional<AudioClip> audio() const override;
    std::vector<double> cuts() const override;
    bool any_frame_first() const override { return false; }

    // Frames the file ran out before (the last picture was held for them).
    int64_t held_frames() const;

    struct Video;
    struct Audio;

private:
    MediaClip();
    std::unique_ptr<Video> m_video;
    std::shared_ptr<Audio> m_audio;  // shared with the AudioClip's sample function
    std::optional<AudioClip> m_audioClip;
    std::vector<double> m_cuts;
};

}  // namespace qelhost
