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

class DemoClip : public DrawnClip {
public:
    explicit DemoClip(ClipShape shape);
    bool draw(int64_t frame, Picture& picture) override;

private:
    std::vector<uint16_t> m_columnRamp;  // red by column, the same every frame
};

}  // namespace qelhost
