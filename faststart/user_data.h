// Adding a box to the user data (udta) of a movie's sound track, in the
// bytes of its whole index (moov): the loudness a finished movie carries.
#pragma once

#include <cstdint>
#include <vector>

namespace faststart {

// `moov` (a whole moov box, header and all) with `box` put at the end of the
// first sound track's udta, which is made where there is none; every
// enclosing size grows with it. False, `moov` unchanged, when the index does
// not hold together, has no sound track, or would outgrow 32-bit sizes.
bool add_to_sound_track_user_data(std::vector<uint8_t>& moov, const std::vector<uint8_t>& box);

}  // namespace faststart
