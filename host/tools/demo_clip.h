// The clip qelhost renders when it is given none: a moving 16-bit picture
// with the frame's timecode burnt in, and a tone.
#pragma once

#include "host/harness/render.h"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace qelhost {

// Draws `text` (digits, ':' and ';') in seven-segment figures, white on a dark box
// whose top-left corner is (x, y); `digit_width` is one figure's width, its
// height twice that. Parts outside the picture are left out.
void draw_timecode(Picture& picture, std::string_view text, int32_t x, int32_t y, int32_t digit_width);
// Width in pixels of what draw_timecode draws, box included.
int32_t timecode_width(std::string_view text, int32_t digit_width);

class DemoClip : public ClipSource {
public:
    struct Settings {
        int32_t width = 1920;
        int32_t height = 1080;
        double fps = 25;
        int64_t frames = 250;
        std::optional<AudioClip> audio = AudioClip::tone(48000, 2, 16);
        std::vector<double> cuts;
    };
    explicit DemoClip(Settings settings);

    int32_t width() const override { return m_settings.width; }
    int32_t height() const override { return m_settings.height; }
    double fps() const override { return m_settings.fps; }
    int64_t frame_count() const override { return m_settings.frames; }
    bool draw(int64_t frame, Picture& picture) override;
    std::optional<AudioClip> audio() const override { return m_settings.audio; }
    std::vector<double> cuts() const override { return m_settings.cuts; }

private:
    Settings m_settings;
    std::vector<uint16_t> m_columnRamp;  // red by column, the same every frame
};

}  // namespace qelhost
