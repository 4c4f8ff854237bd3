// The loudness box put into a finished movie whose index is its last box.
#include "boxes/box_writer.h"
#include "boxes/boxes.h"
#include "writer/loudness/loudness_box.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using boxes::fourcc;

Bytes box(uint32_t type, const Bytes& body) {
    Bytes out;
    boxes::append_box(out, type, body);
    return out;
}
Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}
Bytes index_of(uint32_t handler) {
    Bytes hdlr(12, 0);
    boxes::write_be32(hdlr.data() + 8, handler);
    return box(fourcc("moov"), box(fourcc("trak"), box(fourcc("mdia"), box(fourcc("hdlr"), hdlr))));
}
Bytes to_the_end(Bytes b) {
    boxes::write_be32(b.data(), 0);
    return b;
}

Bytes read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Movie {
    const char* name;
    Bytes file;
    bool takesTheBox;
};
void PrintTo(const Movie& m, std::ostream* out) { *out << m.name; }

const Bytes MEDIA = box(fourcc("mdat"), Bytes(40, 7));
const Movie MOVIES[] = {
    {"index_last", cat({MEDIA, index_of(fourcc("soun"))}), true},
    // Made free, an index sized "to the end" would take the new one in.
    {"index_to_the_end", cat({MEDIA, to_the_end(index_of(fourcc("soun")))}), false},
    {"index_before_the_media", cat({index_of(fourcc("soun")), MEDIA}), false},
    {"bytes_after_the_index", cat({MEDIA, index_of(fourcc("soun")), {0, 0, 0}}), false},
    {"no_sound_track", cat({MEDIA, index_of(fourcc("vide"))}), false},
};

class LoudnessBox : public testing::TestWithParam<Movie> {};

TEST_P(LoudnessBox, GoesIntoANewLastIndexOrLeavesTheMovieAsItWas) {
    const Movie& movie = GetParam();
    // ctest runs the rows side by side: each its own file
    const std::string path =
        testing::TempDir() + "qel_loudness_box_" + movie.name + "_" + std::to_string(::getpid()) + ".mov";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(movie.file.data()), long(movie.file.size()));
    LoudnessFigures figures{};
    figures.integrated = -23;
    std::string error;
    EXPECT_EQ(write_loudness_box(path, figures, error), movie.takesTheBox) << error;
    const Bytes after = read_all(path);
    std::remove(path.c_str());
    if (!movie.takesTheBox) {
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(after, movie.file);
        return;
    }
    const boxes::TopLevel top = boxes::read_top_level(after.data(), after.size());
    ASSERT_EQ(top.end, boxes::TopLevel::End::Filled);
    std::vector<uint32_t> types;
    for (const boxes::FileBox& b : top.boxes) types.push_back(b.type);
    EXPECT_EQ(types, (std::vector<uint32_t>{fourcc("mdat"), fourcc("free"), fourcc("moov")}));
    const Bytes added = box(fourcc("udta"), loudness_user_data(figures));
    EXPECT_NE(std::search(after.begin() + long(movie.file.size()), after.end(), added.begin(), added.end()), after.end());
}

INSTANTIATE_TEST_SUITE_P(, LoudnessBox, testing::ValuesIn(MOVIES), [](const auto& info) { return info.param.name; });

}  // namespace
