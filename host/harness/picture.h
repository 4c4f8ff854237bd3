// A host image: 16-bit samples, RGBA (4 channels) or RGB (3), rows packed.
#pragma once

#include "standin.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qelhost {

class Picture {
public:
    // `direct` false: the host's image_data gives no usable pixels, so the
    // module must copy the image through the host's image context first.
    Picture(int32_t width, int32_t height, int32_t channels = 4, bool direct = true);
    ~Picture();
    Picture(const Picture&) = delete;
    Picture& operator=(const Picture&) = delete;

    _image_str* image() { return &m_image; }
    int32_t width() const { return m_image.width; }
    int32_t height() const { return m_image.height; }
    int32_t channels() const { return m_image.channels; }
    bool direct() const { return m_image.direct; }

    uint16_t* samples() { return m_samples.data(); }
    const uint16_t* samples() const { return m_samples.data(); }
    uint16_t* at(int32_t x, int32_t y) { return m_samples.data() + (size_t(y) * size_t(width()) + size_t(x)) * size_t(channels()); }
    size_t sample_count() const;
    // Takes `samples` (as many as it holds) as its pixels and hands back its
    // own: a picture made elsewhere arrives without a copy.
    void swap_samples(std::vector<uint16_t>& samples);
    // Shows `pixels` held elsewhere (as many samples as the picture has) in
    // place of its own, which it gives up meanwhile; nullptr shows its own
    // again. Drawing into it or taking samples() needs its own shown.
    void show(uint16_t* pixels);

    // A moving gradient with a bar that marks the frame, full alpha.
    void draw_test_pattern(int64_t frame);
    void fill(uint16_t red, uint16_t green, uint16_t blue, uint16_t alpha = 0xFFFF);

    // What image_data answers: the pixels when direct, else a decoy block.
    void* data_for_module();
    // The picture behind a host image, when it is one of ours.
    static Picture* from_image(_image_str* image);

private:
    _image_str m_image{};
    std::vector<uint16_t> m_samples;
    std::vector<uint16_t> m_decoy;
};

}  // namespace qelhost
