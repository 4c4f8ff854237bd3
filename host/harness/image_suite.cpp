// Host images and the "Image" suite.
#include "picture.h"
#include "standin_host.h"
#include "suite_tables.h"

#include <algorithm>
#include <map>
#include <mutex>

namespace qelhost {
namespace {

std::mutex g_picturesLock;
std::map<const _image_str*, Picture*> g_pictures;

// Marks what a module would read if it took a non-direct image's data as pixels.
constexpr uint16_t DECOY_SAMPLE = 0xDEAD;

}  // namespace

Picture::Picture(int32_t width, int32_t height, int32_t channels, bool direct)
{
    m_image.width = width;
    m_image.height = height;
    m_image.channels = channels;
    m_image.host_format = 0;
    m_image.direct = direct;
    m_samples.assign(sample_count(), 0);
    m_image.pixels = m_samples.data();
    if (!direct) m_decoy.assign(m_samples.size(), DECOY_SAMPLE);
    std::lock_guard<std::mutex> lock(g_picturesLock);
    g_pictures[&m_image] = this;
}

Picture::~Picture() {
    std::lock_guard<std::mutex> lock(g_picturesLock);
    g_pictures.erase(&m_image);
}

Picture* Picture::from_image(_image_str* image) {
    std::lock_guard<std::mutex> lock(g_picturesLock);
    auto it = g_pictures.find(image);
    return it == g_pictures.end() ? nullptr : it->second;
}

size_t Picture::sample_count() const {
    return size_t(std::max(width(), 0)) * size_t(std::max(height(), 0)) * size_t(std::max(channels(), 0));
}

void Picture::swap_samples(std::vector<uint16_t>& samples) {
    show(nullptr);
    if (samples.size() != m_samples.size()) return;
    m_samples.swap(samples);
    m_image.pixels = m_samples.data();
}

void Picture::show(uint16_t* pixels) {
    if (pixels) {
        std::vector<uint16_t>().swap(m_samples);  // not kept while others are shown
        m_image.pixels = pixels;
        return;
    }
    if (m_samples.size() != sample_count()) m_samples.assign(sample_count(), 0);
    m_image.pixels = m_samples.data();
}

void* Picture::data_for_module() { return m_image.direct ? static_cast<void*>(m_image.pixels) : m_decoy.data(); }

void Picture::fill(uint16_t red, uint16_t green, uint16_t blue, uint16_t alpha) {
    const uint16_t value[4] = {red, green, blue, alpha};
    for (size_t i = 0; i < m_samples.size(); ++i) m_samples[i] = value[i % size_t(channels())];
}

void Picture::draw_test_pattern(int64_t frame) {
    const int32_t w = width(), h = height(), c = channels();
    if (w <= 0 || h <= 0 || c < 3) return;
    const int32_t bar = int32_t(frame % w);
    for (int32_t y = 0; y < h; ++y) {
        uint16_t* row = at(0, y);
        for (int32_t x = 0; x < w; ++x) {
            uint16_t* p = row + size_t(x) * size_t(c);
            p[0] = uint16_t((x * 65535) / std::max(w - 1, 1));
            p[1] = uint16_t((y * 65535) / std::max(h - 1, 1));
            p[2] = uint16_t(((x + y + frame * 8) * 256) & 0xFFFF);
            if (x == bar) p[0] = p[1] = p[2] = 0xFFFF;
            if (c > 3) p[3] = 0xFFFF;
        }
    }
}

namespace {

void note_image(_image_str* image, const char* entry) {
    if (!image) require_active_host("Image").faults().add(std::string("Image: ") + entry + " on a null image");
}

// Pictures of the host answer for themselves; images the module made with
// mem_alloc_image are plain and direct.
void* image_data(_image_str* image) {
    note_image(image, "image_data");
    if (!image) return nullptr;
    if (Picture* picture = Picture::from_image(image)) return picture->data_for_module();
    return image->pixels;
}

void* image_entry1(_image_str* image) { return image_data(image); }

bool image_is_direct(_image_str* image) {
    note_image(image, "image_is_direct");
    return image && image->direct;
}

}  // namespace

const FunctionTable& image_suite_table() {
    static const FunctionTable table = [] {
        FunctionTable t = trap_table(SUITE_IMAGE);
        t[0] = entry_pointer(&image_data);
        t[1] = entry_pointer(&image_entry1);
        t[5] = entry_pointer(&image_is_direct);
        return t;
    }();
    return table;
}

}  // namespace qelhost
