// Interlaced pictures: the file must say which field comes first.
#include "support.h"

#include "common/run.h"

using namespace writer_test;

namespace {

struct FieldCase {
    const char* codec;
    int pixelFormat, fieldOrder;
    const char* expected;  // how ffprobe's answer starts
};

class FieldOrder : public ::testing::TestWithParam<FieldCase> {};

TEST_P(FieldOrder, ProbedAsWritten) {
    const FieldCase& c = GetParam();
    const std::string path = scratch_dir(std::string("field_") + c.codec + std::to_string(c.fieldOrder)) + "/clip.mov";
    FFWriter writer;
    writer.m_logCallback = keep_message;
    WriterSettings settings = video_settings("mov", c.codec, 64, 48, 4);
    settings.outPixelFormat = c.pixelFormat;
    settings.fieldOrder = c.fieldOrder;
    const probe::File file = write_clip(writer, path, settings, 4);
    ASSERT_EQ(file.frames.size(), 4u);
    const std::string order = probe_streams("-select_streams v:0 -show_entries stream=field_order '" + path + "'").out;
    EXPECT_EQ(order.rfind(c.expected, 0), 0u) << "ffprobe says " << order;
    // x264 codes the fields themselves: its pictures say it too, as a decoder reads them.
    const int pictures =
        c.fieldOrder == AV_FIELD_TB ? AV_FIELD_TT : c.fieldOrder == AV_FIELD_BT ? AV_FIELD_BB : c.fieldOrder;
    if (std::string(c.codec) == "libx264") {
        for (const probe::Frame& frame : file.frames) EXPECT_EQ(frame.field_order, pictures);
    }
}

// The second letter (tt or tb) depends on where the reader takes it from, stream or container.
constexpr int X264 = AV_PIX_FMT_YUV420P, PRORES = AV_PIX_FMT_YUV422P10LE;
INSTANTIATE_TEST_SUITE_P(Writer, FieldOrder,
                         ::testing::Values(FieldCase{"libx264", X264, AV_FIELD_PROGRESSIVE, "progressive"},
                                           FieldCase{"libx264", X264, AV_FIELD_TB, "t"},
                                           FieldCase{"libx264", X264, AV_FIELD_BT, "b"},
                                           FieldCase{"prores_ks", PRORES, AV_FIELD_PROGRESSIVE, "progressive"},
                                           FieldCase{"prores_ks", PRORES, AV_FIELD_TB, "t"},
                                           FieldCase{"prores_ks", PRORES, AV_FIELD_BT, "b"}),
                         [](const auto& info) {
                             return std::string(info.param.codec) + "_" + std::to_string(info.param.fieldOrder);
                         });

}  // namespace
