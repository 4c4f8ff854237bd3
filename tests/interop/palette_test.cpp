// Palette pictures: libswscale makes none, so the writer makes 3-3-2 BGR and
// hands the encoder the palette of that layout. Colours the palette holds
// must come back as they were sent.
#include "requests/request_fixture.h"

#include <cmath>

namespace {

// Each a palette entry: red and green in eighths of 252, blue in quarters of 255.
constexpr uint16_t level(int value8) { return uint16_t(value8 * 257); }
constexpr uint16_t COLOURS[][3] = {
    {level(144), level(72), level(170)}, {level(252), level(0), level(85)}, {level(36), level(216), level(255)}};

}  // namespace

class PalettePictures : public RequestTest {};

TEST_F(PalettePictures, ColoursThePaletteHoldsComeBackAsSent) {
    const char* const cases[][3] = {{"AVI (Audio Video Interleaved)", "Zip Motion Blocks Video", "avi"},
                                    {"QuickTime / MOV", "QuickTime Graphics (SMC)", "mov"}};
    for (const auto& [container, encoder, extension] : cases) {
        auto host = open_panel({{"klavformat", container}, {"klavvideocodec", encoder}, {"klavpixelfmt", "pal8"}});
        const std::string file = path(std::string("palette.") + extension);
        qelhost::Picture picture(64, 48);
        qelhost::FrameRequest request;
        request.picture = &picture;
        request.path = file;
        for (const auto& colour : COLOURS) {
            picture.fill(colour[0], colour[1], colour[2]);
            ASSERT_TRUE(host->process(request)) << encoder;
            request.frame += 1;
        }
        request.path.clear();
        ASSERT_TRUE(host->process(request));

        const probe::File movie = probe::read(file, probe::WITH_PICTURES);
        ASSERT_EQ(movie.pictures.size(), std::size(COLOURS)) << encoder;
        for (size_t frame = 0; frame < std::size(COLOURS); ++frame) {
            const std::vector<uint16_t>& decoded = movie.pictures[frame];
            for (int channel = 0; channel < 3; ++channel) {
                double sum = 0;
                for (size_t i = size_t(channel); i < decoded.size(); i += 4) sum += decoded[i];
                EXPECT_NEAR(sum / double(decoded.size() / 4), COLOURS[frame][channel], 0.02 * 65535)
                    << encoder << " frame " << frame << " channel " << channel;
            }
        }
    }
}
