// A finished mov or mp4 carries its sound's loudness where ISO/IEC 14496-12
// keeps it: in the sound track's user data a loudness box (ludt) holding the
// track's loudness (tlou) -- programme loudness, loudness range, maximum
// momentary and short-term loudness, sample and true peak, all measured to
// ITU-R BS.1770-4 -- coded as MPEG-D DRC codes them.
#pragma once

#include "writer/loudness/loudness_meter.h"

#include <cstdint>
#include <string>
#include <vector>

// The tlou box, header and all, and the ludt box that holds it.
std::vector<uint8_t> track_loudness_box(const LoudnessFigures& figures);
std::vector<uint8_t> loudness_user_data(const LoudnessFigures& figures);

// Puts the loudness into the movie at `path`, whose index is the last box of
// the file (a finished movie kept without faststart; the faststart rewrite
// puts it into the index it moves). The new index goes after the
// old one, which then becomes free space: a crash at any moment leaves one
// whole index. False with `error` when the file has no such shape or cannot
// be written; the movie is then as it was.
bool write_loudness_box(const std::string& path, const LoudnessFigures& figures, std::string& error);
