// Every container and encoder pairing the host offers for delivery, and both
// field orders: written through the writer, read back with FFmpeg's own tools.
// The question: does every picture come back as written?
#include "support.h"

#include "common/codec_pairs.h"
#include "common/other_readers.h"
#include "common/run.h"

#include <ostream>
#include <set>

using namespace writer_test;

namespace {

constexpr int PROGRESSIVE = AV_FIELD_PROGRESSIVE;

// A pairing and what to expect of it, told by name: Cell(pair).pixels(..).hd()...
struct Cell {
    CodecPair pair;
    int outPixelFormat = AV_PIX_FMT_NONE, width = 320, height = 240;
    int32_t bitRate = 0;
    bool otherKeys = false;                // key frames where none was asked (intra codecs, libaom after a forced one)
    bool checkColour = true;               // the codec is one whose levels players trust
    const char* containerTag = "encoder";  // where the container keeps "encoder", if anywhere
    bool streamTags = true;                // the container keeps the video stream's tags
    int fieldOrder = PROGRESSIVE;
    const char* probedOrder = nullptr;  // how ffprobe's field order starts (tt or tb: stream or container)
    const char* profile = nullptr;      // as the panel always gives one (MXF's ProRes needs it)
    int32_t colour = COLOUR_REC709;     // the space of the host's pixels

    explicit Cell(const CodecPair& p) : pair(p) {}
    Cell& pixels(int format) { return outPixelFormat = format, *this; }
    Cell& hd() { return width = 1920, height = 1080, *this; }
    Cell& rate(int32_t bits) { return bitRate = bits, *this; }
    Cell& keysAnywhere() { return otherKeys = true, *this; }
    Cell& untrustedLevels() { return checkColour = false, *this; }
    Cell& encoderTagIn(const char* key) { return containerTag = key, *this; }
    Cell& noTags() { return containerTag = nullptr, streamTags = false, *this; }
    Cell& noStreamTags() { return streamTags = false, *this; }
    Cell& fields(int order, const char* probed = nullptr) { return fieldOrder = order, probedOrder = probed, *this; }
    Cell& withProfile(const char* name) { return profile = name, *this; }
    Cell& in(int32_t space) { return colour = space, *this; }
};

std::ostream& operator<<(std::ostream& out, const Cell& cell) { return out << cell.pair.container << "/" << cell.pair.codec; }

constexpr int Y420 = AV_PIX_FMT_YUV420P, Y422 = AV_PIX_FMT_YUV422P, Y422_10 = AV_PIX_FMT_YUV422P10LE;
constexpr int TFF = AV_FIELD_TB, BFF = AV_FIELD_BT;
const Cell CELLS[] = {
    Cell(pairs::MOV_X264).pixels(Y420).fields(PROGRESSIVE, "progressive"),
    Cell(pairs::MOV_X264).pixels(Y420).fields(TFF, "t"),
    Cell(pairs::MOV_X264).pixels(Y420).fields(BFF, "b"),
    Cell(pairs::MP4_X264),
    Cell(pairs::MKV_X264),
    // AVI reads its software tag back under another key; MPEG-TS has no tags.
    Cell(pairs::AVI_MPEG4).untrustedLevels().encoderTagIn("software").noStreamTags(),
    Cell(pairs::MOV_PRORES_KS).pixels(Y422_10).keysAnywhere().fields(PROGRESSIVE, "progressive"),
    Cell(pairs::MOV_PRORES_KS).pixels(Y422_10).keysAnywhere().fields(TFF, "t"),
    Cell(pairs::MOV_PRORES_KS).pixels(Y422_10).keysAnywhere().fields(BFF, "b"),
    Cell(pairs::MOV_PRORES_AW).pixels(Y422_10).keysAnywhere().fields(TFF, "t"),
    Cell(pairs::MOV_PRORES_AW).pixels(Y422_10).keysAnywhere().fields(BFF, "b"),
    Cell(pairs::MOV_MPEG2).rate(2000000).fields(TFF, "t"),
    Cell(pairs::MOV_MPEG2).rate(2000000).fields(BFF, "b"),
    Cell(pairs::MOV_DNXHD).pixels(Y422).hd().rate(36000000).keysAnywhere(),
    // DNxHD's 1080i formats, at the rate it finds for them (mov keeps their
    // order in the pictures only, and they are upper field first).
    Cell(pairs::MOV_DNXHD).pixels(Y422).hd().keysAnywhere().fields(TFF),
    Cell(pairs::TS_MPEG2).rate(2000000).noTags(),
    Cell(pairs::WEBM_VP9).untrustedLevels(),
    Cell(pairs::WEBM_VP8).untrustedLevels(),
    // libsvtav1 of FFmpeg 5.1 keeps no key frame a host asks for (its command line alike).
    Cell(pairs::WEBM_AOM).keysAnywhere().untrustedLevels(),
    Cell(pairs::MXF_MPEG2).hd().rate(20000000).noTags(),
    Cell(pairs::MXF_MPEG2).hd().rate(20000000).noTags().fields(TFF),
    Cell(pairs::MXF_MPEG2).hd().rate(20000000).noTags().fields(BFF),
    Cell(pairs::MXF_DNXHD).pixels(Y422).hd().rate(36000000).keysAnywhere().noTags(),
    Cell(pairs::MXF_DNXHD).pixels(Y422_10).hd().keysAnywhere().noTags().fields(TFF),
    Cell(pairs::MXF_PRORES_KS).pixels(Y422_10).hd().keysAnywhere().noTags().fields(TFF).withProfile("HQ"),
    Cell(pairs::MXF_PRORES_AW).pixels(Y422_10).hd().keysAnywhere().noTags().fields(BFF).withProfile("HQ"),
    // BT.2020 pictures: converted with its matrix, tagged so, read back to the host's values.
    Cell(pairs::MKV_FFV1).pixels(AV_PIX_FMT_YUV444P10LE).keysAnywhere().in(COLOUR_REC2020),
    Cell(pairs::MOV_PRORES_KS).pixels(Y422_10).keysAnywhere().withProfile("HQ").in(COLOUR_PQ),
};

constexpr int FRAMES = 30;
constexpr int FORCED_KEY = 17;
constexpr int COLOUR_EVERY = 7;

class Matrix : public ::testing::TestWithParam<std::tuple<Cell, int>> {};

TEST_P(Matrix, DecodesEveryFrameAsWritten) {
    const Cell& cell = std::get<0>(GetParam());
    const int channels = std::get<1>(GetParam());
    const std::string dir = scratch_dir(std::string("matrix_") + cell.pair.codec + "_" + cell.pair.container +
                                        std::to_string(cell.fieldOrder) + std::to_string(channels));
    const std::string path = dir + "/clip." + cell.pair.extension;

    FFWriter writer(keep_message);
    WriterSettings settings = video_settings(cell.pair.container, cell.pair.codec, cell.width, cell.height, channels);
    settings.outPixelFormat = cell.outPixelFormat;
    settings.keyFrameInterval = 100;
    settings.videoBitRate = cell.bitRate;
    settings.fieldOrder = cell.fieldOrder;
    settings.videoProfile = cell.profile;
    settings.colour = cell.colour;
    const probe::File file =
        write_clip(writer, path, settings, FRAMES, "01:00:00:00", cell.checkColour ? COLOUR_EVERY : 0, FORCED_KEY);
    ASSERT_TRUE(file.opened && file.errors.empty()) << file.error_text();
    ASSERT_EQ(int(file.frames.size()), FRAMES);
    for (int i = 1; i < FRAMES; ++i) EXPECT_LT(file.frames[i - 1].pts, file.frames[i].pts) << "frame " << i;
    EXPECT_TRUE(file.frames[0].key);
    EXPECT_TRUE(file.frames[FORCED_KEY].key);
    if (!cell.otherKeys) {
        // The request holds for its frame only, though the frame object is reused.
        EXPECT_FALSE(file.frames[FORCED_KEY - 1].key);
        EXPECT_FALSE(file.frames[FORCED_KEY + 1].key);
    }

    EXPECT_TRUE(!cell.containerTag || !file.container_tag(cell.containerTag).empty());
    if (std::string(cell.pair.container) == "mov") { EXPECT_EQ(file.container_tag("encoder"), WRITER_ENCODER_TAG); }
    if (cell.streamTags) {
        EXPECT_EQ(file.video_tag("encoder"), WRITER_ENCODER_TAG);
        EXPECT_EQ(file.video_tag("timecode"), "01:00:00:00");
    }

    if (cell.probedOrder) {
        const std::string order = probe_streams("-select_streams v:0 -show_entries stream=field_order '" + path + "'").out;
        EXPECT_EQ(order.rfind(cell.probedOrder, 0), 0u) << "ffprobe says " << order;
    }
    // The encoders with a field mode code the fields themselves: their
    // pictures say it too, as a decoder and MediaInfo read them.
    const int order = cell.fieldOrder;
    const int pictures = order == AV_FIELD_TB ? AV_FIELD_TT : order == AV_FIELD_BT ? AV_FIELD_BB : order;
    const bool codesFields = std::set<std::string>{"libx264", "prores_ks", "prores_aw", "mpeg2video", "dnxhd"}.count(cell.pair.codec);
    for (size_t i = 0; codesFields && i < file.frames.size(); ++i)
        EXPECT_EQ(file.frames[i].field_order, pictures) << "frame " << i;
    // FFmpeg's MXF muxer describes ProRes as whole frames whatever they hold
    // (it reads no field flags from ProRes pictures, on every generation).
    const bool describedAsCoded = !(cell.pair.container == std::string("mxf") && cell.pair.codec == std::string("prores_ks")) &&
                                  !(cell.pair.container == std::string("mxf") && cell.pair.codec == std::string("prores_aw"));
    if (codesFields && describedAsCoded) {
        const std::string scan = mediainfo_video(path, "%ScanType%/%ScanOrder%");
        EXPECT_EQ(scan, pictures == AV_FIELD_TT   ? (cell.pair.codec == std::string("libx264") ? "MBAFF/TFF" : "Interlaced/TFF")
                        : pictures == AV_FIELD_BB ? (cell.pair.codec == std::string("libx264") ? "MBAFF/BFF" : "Interlaced/BFF")
                                                  : "Progressive/");
    }

    if (cell.checkColour) {
        EXPECT_EQ(file.color_range, AVCOL_RANGE_MPEG);
        const bool bt2020 = cell.colour != COLOUR_REC709;
        EXPECT_EQ(file.color_space, bt2020 ? AVCOL_SPC_BT2020_NCL : AVCOL_SPC_BT709);
        const char* transfer = cell.colour == COLOUR_PQ ? "smpte2084" : cell.colour == COLOUR_REC2020 ? "bt2020-10" : "bt709";
        const std::string tags =
            probe_streams("-select_streams v:0 -show_entries stream=color_space,color_transfer,color_primaries '" + path + "'").out;
        const std::string wanted = bt2020 ? std::string("bt2020nc,") + transfer + ",bt2020" : "bt709,bt709,bt709";
        EXPECT_NE(tags.find(wanted), std::string::npos) << tags;  // MPEG-2 adds its side data
        for (int i = 0; i < FRAMES; i += COLOUR_EVERY) {
            const std::vector<uint16_t> picture = host_picture(cell.width, cell.height, channels, i);
            EXPECT_LT(level_error(file.frames[i].rgb, picture, cell.width, cell.height, channels), 0.01)
                << "frame " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Writer, Matrix, ::testing::Combine(::testing::ValuesIn(CELLS), ::testing::Values(4, 3)),
                         [](const ::testing::TestParamInfo<Matrix::ParamType>& info) {
                             const Cell& cell = std::get<0>(info.param);
                             std::string name = std::string(cell.pair.container) + "_" + cell.pair.codec;
                             for (char& c : name) c = isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             const int order = cell.fieldOrder;
                             name += order == AV_FIELD_TB ? "_tff" : order == AV_FIELD_BT ? "_bff" : "";
                             name += cell.colour == COLOUR_REC2020 ? "_rec2020" : cell.colour == COLOUR_PQ ? "_pq" : "";
                             return name + (std::get<1>(info.param) == 4 ? "_rgba" : "_rgb");
                         });

}  // namespace
