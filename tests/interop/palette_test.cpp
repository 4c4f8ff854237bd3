// Palette pictures: libswscale makes none, so the writer makes 3-3-2 BGR and
// hands the encoder the palette of that layout. Colours the palette holds
// must come back as they were sent.
#include "requests/request_fixture.h"

#include <cmath>

namespace {

struct PaletteCase {
    const char* container;
    const char* encoder;
    const char* extension;
};

// Each a palette entry: red and green in eighths of 252, blue in quarters of 255.
constexpr uint16_t level(int value8) { return uint16_t(value8 * 257); }
constexpr uint16_t COLOURS[][3] = {
    {level(144), level(72), level(170)},
    {level(252), level(0), level(85)},
    {level(36), level(216), level(255)},
};

}  // namespace

class PalettePictures : public RequestTest {};

TEST_F(PalettePictures, ColoursThePaletteHoldsComeBackAsSent) {
    const PaletteCase cases[] = {
        {"AVI (Audio Video Interleaved)", "Zip Motion Blocks Video", "avi"},
        {"QuickTime / MOV", "QuickTime Graphics (SMC)", "mov"},
    };
    for (const PaletteCase& c : cases) {
        auto host = open_panel({{"klavformat", c.container}, {"klavvideocodec", c.encoder}, {"klavpixelfmt", "pal8"}});
        const std::string file = path(std::string("palette.") + c.extension);
        qelhost::Picture picture(64, 48);
        qelhost::FrameRequest request;
        request.picture = &picture;
        request.path = file;
        for (const auto& colour : COLOURS) {
            picture.fill(colour[0], colour[1], colour[2]);
            ASSERT_TRUE(host->process(request)) << c.encoder;
            request.frame += 1;
        }
        request.path.clear();
        ASSERT_TRUE(host->process(request));

        const probe::File movie = probe::read(file, probe::WITH_PICTURES);
        ASSERT_EQ(movie.pictures.size(), std::size(COLOURS)) << c.encoder;
        for (size_t frame = 0; frame < std::size(COLOURS); ++frame) {
            const std::vector<uint16_t>& decoded = movie.pictures[frame];
            for (int channel = 0; channel < 3; ++channel) {
                double sum = 0;
                for (size_t i = size_t(channel); i < decoded.size(); i += 4) sum += decoded[i];
                const double mean = sum / double(decoded.size() / 4);
                EXPECT_NEAR(mean, COLOURS[frame][channel], 0.02 * 65535)
                    << c.encoder << " frame " << frame << " channel " << channel;
            }
        }
    }
}
