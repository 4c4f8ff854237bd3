#include "demo_clip.h"

#include <algorithm>
#include <cmath>

namespace qelhost {
namespace {

constexpr uint16_t WHITE = 0xFFFF;
constexpr uint16_t BOX = 0x1800;

// Segments a to g, one bit each, for the figures 0 to 9.
constexpr uint8_t SEGMENTS[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};

void fill_rect(Picture& picture, int32_t x0, int32_t y0, int32_t x1, int32_t y1, uint16_t grey) {
    x0 = std::max(x0, 0);
    y0 = std::max(y0, 0);
    x1 = std::min(x1, picture.width());
    y1 = std::min(y1, picture.height());
    const int32_t c = picture.channels();
    for (int32_t y = y0; y < y1; ++y) {
        uint16_t* p = picture.at(x0, y);
        for (int32_t x = x0; x < x1; ++x, p += c) {
            p[0] = p[1] = p[2] = grey;
            if (c > 3) p[3] = WHITE;
        }
    }
}

int32_t advance(char ch, int32_t digit_width) {
    return ch == ':' || ch == ';' ? digit_width / 2 + digit_width / 6 : digit_width + digit_width / 3;
}

int32_t margin(int32_t digit_width) { return std::max(digit_width / 3, 1); }

void draw_figure(Picture& picture, int digit, int32_t x, int32_t y, int32_t w) {
    const int32_t h = 2 * w, t = std::max(w / 6, 1), mid = y + h / 2;
    const struct {
        int32_t x0, y0, x1, y1;
    } parts[7] = {
        {x + t, y, x + w - t, y + t},              // a
        {x + w - t, y + t, x + w, mid},            // b
        {x + w - t, mid, x + w, y + h - t},        // c
        {x + t, y + h - t, x + w - t, y + h},      // d
        {x, mid, x + t, y + h - t},                // e
        {x, y + t, x + t, mid},                    // f
        {x + t, mid - t / 2, x + w - t, mid + t - t / 2},  // g
    };
    for (int s = 0; s < 7; ++s)
        if (SEGMENTS[digit] & (1 << s)) fill_rect(picture, parts[s].x0, parts[s].y0, parts[s].x1, parts[s].y1, WHITE);
}

}  // namespace

int32_t timecode_width(std::string_view text, int32_t digit_width) {
    int32_t width = 2 * margin(digit_width);
    for (char ch : text) width += advance(ch, digit_width);
    return width;
}

void draw_timecode(Picture& picture, std::string_view text, int32_t x, int32_t y, int32_t digit_width) {
    if (picture.channels() < 3 || digit_width < 3) return;
    const int32_t m = margin(digit_width);
    fill_rect(picture, x, y, x + timecode_width(text, digit_width), y + 2 * digit_width + 2 * m, BOX);
    int32_t pen = x + m;
    const int32_t top = y + m;
    for (char ch : text) {
        if (ch >= '0' && ch <= '9') {
            draw_figure(picture, ch - '0', pen, top, digit_width);
        } else if (ch == ':' || ch == ';') {
            // Drop-frame's ';' hangs its lower dot down into a tail.
            const int32_t dot = std::max(digit_width / 6, 1);
            const int32_t left = pen + (advance(ch, digit_width) - dot) / 2;
            const int32_t tail = ch == ';' ? dot : 0;
            fill_rect(picture, left, top + digit_width / 2, left + dot, top + digit_width / 2 + dot, WHITE);
            fill_rect(picture, left, top + 3 * digit_width / 2 - dot, left + dot, top + 3 * digit_width / 2 + tail,
                      WHITE);
        }
        pen += advance(ch, digit_width);
    }
}

DemoClip::DemoClip(ClipShape shape) : DrawnClip(std::move(shape)) {
    const int32_t w = std::max(width(), 1);
    m_columnRamp.resize(size_t(w));
    for (int32_t x = 0; x < w; ++x) m_columnRamp[size_t(x)] = uint16_t(int64_t(x) * 65535 / std::max(w - 1, 1));
}

bool DemoClip::draw(int64_t frame, Picture& picture) {
    const int32_t w = picture.width(), h = picture.height(), c = picture.channels();
    if (w != width() || h != height() || c < 3) return false;

    // Red across, green down, a blue wave drifting diagonally: smooth ramps
    // that need all 16 bits, and motion everywhere.
    const int64_t drift = frame * 8;
    for (int32_t y = 0; y < h; ++y) {
        const uint16_t green = uint16_t(int64_t(y) * 65535 / std::max(h - 1, 1));
        uint16_t* p = picture.at(0, y);
        for (int32_t x = 0; x < w; ++x, p += c) {
            const int32_t phase = int32_t((x + y + drift) & 511);
            p[0] = m_columnRamp[size_t(x)];
            p[1] = green;
            p[2] = uint16_t((phase < 256 ? phase : 511 - phase) * 257);
            if (c > 3) p[3] = WHITE;
        }
    }

    // A bar that crosses the picture every four seconds.
    const int32_t barWidth = std::max(w / 48, 2);
    const int64_t crossing = std::max<int64_t>(std::llround(4 * fps()), 1);
    const int32_t barX = int32_t((frame % crossing) * (w + barWidth) / crossing) - barWidth;
    fill_rect(picture, barX, 0, barX + barWidth, h, WHITE);

    const std::string text = timecode(frame);
    const int32_t digitWidth = std::min(h / 12, w * 2 / 27);
    const int32_t boxWidth = timecode_width(text, digitWidth);
    draw_timecode(picture, text, (w - boxWidth) / 2, h * 2 / 3, digitWidth);
    return true;
}

}  // namespace qelhost
