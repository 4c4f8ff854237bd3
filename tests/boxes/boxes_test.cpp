// The box reader over a buffer and over a file's top level, and the box writer.
#include "boxes/box_writer.h"
#include "boxes/boxes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using boxes::fourcc;
using End = boxes::TopLevel::End;
using boxes::Fit;

Bytes header(uint32_t size, const char* type) {
    Bytes b(8);
    boxes::write_be32(b.data(), size);
    std::copy(type, type + 4, b.begin() + 4);
    return b;
}
Bytes wide_header(uint64_t size, const char* type) {
    Bytes b = header(1, type);
    b.resize(16);
    boxes::write_be64(b.data() + 8, size);
    return b;
}
Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}
Bytes body(size_t size) { return Bytes(size, 0xAB); }

struct Seen {
    const char* type;
    uint64_t offset, size, header;
    bool toEnd;
};

struct WalkRow {
    const char* name;
    Bytes file;
    std::vector<Seen> boxes;
    End end;
    Fit fit;           // of the misfit
    Seen misfit;       // with End::DoesNotFit
};
void PrintTo(const WalkRow& row, std::ostream* out) { *out << row.name; }

const WalkRow WALKS[] = {
    {"empty", {}, {}, End::Filled, Fit::Whole, {}},
    {"two_boxes", cat({header(12, "ftyp"), body(4), header(8, "mdat")}),
     {{"ftyp", 0, 12, 8, false}, {"mdat", 12, 8, 8, false}}, End::Filled, Fit::Whole, {}},
    {"size_64_bits", cat({header(8, "free"), wide_header(20, "mdat"), body(4)}),
     {{"free", 0, 8, 8, false}, {"mdat", 8, 20, 16, false}}, End::Filled, Fit::Whole, {}},
    {"size_to_the_end", cat({header(8, "free"), header(0, "mdat"), body(30)}),
     {{"free", 0, 8, 8, false}, {"mdat", 8, 38, 8, true}}, End::Filled, Fit::Whole, {}},
    {"past_the_end", cat({header(8, "free"), header(100, "moov"), body(10)}), {{"free", 0, 8, 8, false}},
     End::DoesNotFit, Fit::PastTheEnd, {"moov", 8, 100, 8, false}},
    {"wide_past_the_end", cat({wide_header(1ull << 40, "mdat"), body(10)}), {}, End::DoesNotFit, Fit::PastTheEnd,
     {"mdat", 0, 1ull << 40, 16, false}},
    {"below_its_header", cat({header(8, "free"), header(5, "moov"), body(10)}), {{"free", 0, 8, 8, false}},
     End::DoesNotFit, Fit::BelowHeader, {"moov", 8, 5, 8, false}},
    {"wide_below_its_header", cat({wide_header(12, "mdat"), body(10)}), {}, End::DoesNotFit, Fit::BelowHeader,
     {"mdat", 0, 12, 16, false}},
    {"bytes_after_the_last", cat({header(8, "moov"), body(5)}), {{"moov", 0, 8, 8, false}}, End::DoesNotFit,
     Fit::CutHeader, {"\0\0\0\0", 8, 0, 8, false}},
    {"wide_size_cut_off", cat({header(8, "moov"), header(1, "mdat"), body(4)}), {{"moov", 0, 8, 8, false}},
     End::DoesNotFit, Fit::CutHeader, {"mdat", 8, 1, 16, false}},
};

std::string name_of(uint32_t type) {
    return {char(type >> 24), char(type >> 16), char(type >> 8), char(type)};
}

void expect_box(const boxes::FileBox& box, const Seen& seen) {
    EXPECT_EQ(name_of(box.type), std::string(seen.type, 4));
    EXPECT_EQ(box.offset, seen.offset);
    EXPECT_EQ(box.size, seen.size);
    EXPECT_EQ(box.header, seen.header);
    EXPECT_EQ(box.toEnd, seen.toEnd);
}

void expect_walk(const boxes::TopLevel& top, const WalkRow& row) {
    EXPECT_EQ(top.fileSize, row.file.size());
    ASSERT_EQ(top.boxes.size(), row.boxes.size());
    for (size_t i = 0; i < row.boxes.size(); ++i) expect_box(top.boxes[i], row.boxes[i]);
    EXPECT_EQ(top.end, row.end);
    if (row.end != End::DoesNotFit) return;
    EXPECT_EQ(top.misfit.fit, row.fit);
    expect_box(top.misfit, row.misfit);
}

class TopLevelWalk : public testing::TestWithParam<WalkRow> {
protected:
    // ctest runs the rows side by side: each its own file
    std::string path = testing::TempDir() + "qel_boxes_walk_" + GetParam().name + "_" + std::to_string(::getpid());
    void SetUp() override {
        FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_TRUE(f);
        if (!GetParam().file.empty()) std::fwrite(GetParam().file.data(), 1, GetParam().file.size(), f);
        std::fclose(f);
    }
    void TearDown() override { std::remove(path.c_str()); }
};

TEST_P(TopLevelWalk, MemoryFileAndDescriptorSeeTheSameBoxes) {
    const WalkRow& row = GetParam();
    {
        SCOPED_TRACE("memory");
        expect_walk(boxes::read_top_level(row.file.data(), row.file.size()), row);
    }
    {
        SCOPED_TRACE("FILE");
        FILE* f = std::fopen(path.c_str(), "rb");
        ASSERT_TRUE(f);
        boxes::TopLevel top;
        EXPECT_TRUE(boxes::read_top_level(f, top));
        std::fclose(f);
        expect_walk(top, row);
    }
    {
        SCOPED_TRACE("descriptor");
        const int fd = ::open(path.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        boxes::TopLevel top;
        EXPECT_TRUE(boxes::read_top_level(fd, top));
        ::close(fd);
        expect_walk(top, row);
    }
}

INSTANTIATE_TEST_SUITE_P(, TopLevelWalk, testing::ValuesIn(WALKS), [](const auto& info) { return info.param.name; });

TEST(TopLevelStop, StopsWhereAskedButNotAtTheEnd) {
    Bytes file = cat({header(8, "ftyp"), header(8, "abcd"), header(8, "moov")});
    const struct {
        const char* stopAt;
        End end;
        size_t boxes;
    } rows[] = {{"abcd", End::Stopped, 2}, {"moov", End::Filled, 3}, {"ftyp", End::Stopped, 1}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.stopAt);
        FILE* f = fmemopen(file.data(), file.size(), "rb");
        ASSERT_TRUE(f);
        boxes::TopLevel top;
        EXPECT_TRUE(boxes::read_top_level(f, top, [&](const boxes::FileBox& box) {
            return name_of(box.type) != row.stopAt;
        }));
        std::fclose(f);
        EXPECT_EQ(top.end, row.end);
        ASSERT_EQ(top.boxes.size(), row.boxes);
        EXPECT_EQ(name_of(top.boxes.back().type), row.stopAt);
    }
}

TEST(BufferBoxes, ReadsUntilOneDoesNotFitAndKnowsEachWholeBox) {
    Bytes bytes = cat({header(12, "tkhd"), body(4), wide_header(18, "mdia"), body(2), header(9, "udta")});
    std::vector<boxes::Box> found;
    EXPECT_FALSE(boxes::read_boxes(bytes.data(), bytes.data() + bytes.size(), found));
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[1].type, fourcc("mdia"));
    EXPECT_EQ(found[1].start(), bytes.data() + 12);
    EXPECT_EQ(found[1].size, 2u);
    EXPECT_EQ(boxes::find_box(found, fourcc("mdia")), &found[1]);
    EXPECT_EQ(boxes::find_box(found, fourcc("udta")), nullptr);

    bytes.resize(bytes.size() - 8);
    EXPECT_TRUE(boxes::read_boxes(bytes.data(), bytes.data() + bytes.size(), found));
    EXPECT_EQ(found.size(), 2u);
}

TEST(BoxWriter, NestedBoxesCloseToTheirSizesAndReadBack) {
    Bytes out = header(8, "free");
    boxes::BoxWriter writer(out);
    const size_t moof = writer.open(fourcc("moof"));
    const size_t mfhd = writer.open(fourcc("mfhd"), 0x01000002);
    writer.be32(7);
    writer.close(mfhd);
    writer.be64(0x0102030405060708ull);
    writer.close(moof);
    boxes::append_box(out, fourcc("mdat"), {1, 2, 3});

    const Bytes expected = cat({header(8, "free"), header(32, "moof"), header(16, "mfhd"), {1, 0, 0, 2, 0, 0, 0, 7},
                                {1, 2, 3, 4, 5, 6, 7, 8}, header(11, "mdat"), {1, 2, 3}});
    EXPECT_EQ(out, expected);
}

}  // namespace
