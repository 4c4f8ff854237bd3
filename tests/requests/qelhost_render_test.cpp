// qelhost render as a person runs it, the files checked with FFmpeg's decoders.
#include "request_fixture.h"

#include "common/other_readers.h"

#include <nlohmann/json.hpp>

extern "C" {
#include <libavutil/parseutils.h>
#include <libavutil/pixdesc.h>
#include <libavutil/timecode.h>
}

#include <cctype>
#include <climits>

namespace {

class QelhostRender : public RequestTest {
protected:
    CommandResult render(const std::string& arguments) const {
        return run_command("cd '" + dir + "' && '" + QELHOST + "' render " + arguments);
    }
};

template <typename Row>
class QelhostTable : public QelhostRender, public ::testing::WithParamInterface<Row> {};

}  // namespace

// Matroska counts whole milliseconds; the output must still end at the exact NTSC frame.
TEST_F(QelhostRender, AnInputClipKeepsItsFramesDurationAndSoundRate) {
    const CommandResult made = run_command("ffmpeg -v error -y -f lavfi -i testsrc=size=160x120:rate=30000/1001:d=2 "
                                           "-f lavfi -i sine=sample_rate=44100:d=2 -pix_fmt yuv420p '" +
                                           path("in.mkv") + "'");
    ASSERT_EQ(made.status, 0) << made.out;
    const CommandResult result = render("--input in.mkv -o out.mp4");
    ASSERT_EQ(result.status, 0) << result.out;
    const probe::File file = probe::read(path("out.mp4"));
    EXPECT_EQ(file.video_frames, 60);
    EXPECT_NEAR(file.video_seconds, 60 * 1001 / 30000.0, 0.0005);
    EXPECT_EQ(file.sample_rate, 44100);
    EXPECT_NEAR(file.audio_seconds(), file.video_seconds, 0.03);
    EXPECT_TRUE(file.errors.empty()) << file.error_text();
}

// Raw pictures a container would store unreadable, or readable as another
// format, are marked in the panel, and choosing one says why; every other
// format reads back as written. Marked ones still render, as FFmpeg writes
// them, and do not read back.
TEST_F(QelhostRender, RawPixelsAContainerCannotCarryAreMarked) {
    const std::string mark = " (not in this container)";
    for (const char* container : {"mov", "avi"}) {
        const std::string chosen = std::string(" --set klavformat=") + container + " --set klavvideocodec=rawvideo";
        const CommandResult shown = run_command(std::string("'") + QELHOST + "' panel --json" + chosen);
        ASSERT_EQ(shown.status, 0) << shown.out;
        const nlohmann::json panel = nlohmann::json::parse(shown.out, nullptr, false);
        nlohmann::json choices;
        for (const auto& control : panel.value("controls", nlohmann::json::array()))
            if (control.value("identifier", "") == "klavpixelfmt") choices = control.at("choices");
        ASSERT_GT(choices.size(), 8u) << container;
        size_t marked = 0;
        for (size_t i = 0; i < choices.size(); ++i) {
            std::string pixels = choices[i].get<std::string>();
            const bool unreadable = pixels.size() > mark.size() && pixels.rfind(mark) == pixels.size() - mark.size();
            if (unreadable) pixels.resize(pixels.size() - mark.size());
            marked += unreadable;
            SCOPED_TRACE(std::string(container) + " " + pixels);
            const std::string file = std::string("raw.") + container;
            const CommandResult made = render("--size 16x16 --audio-channels 0 --frames 2" + chosen +
                                              " --set klavpixelfmt=" + std::to_string(i) + " -o " + file);
            ASSERT_EQ(made.status, 0) << made.out;
            EXPECT_EQ(made.out.find("[warning] QelFFmpegWriter: " + pixels + " will not work here: ") != std::string::npos,
                      unreadable) << made.out;
            const CommandResult read = probe_streams("-select_streams v:0 -show_entries stream=pix_fmt '" + path(file) + "'");
            EXPECT_EQ(read.out == pixels + "\n", !unreadable) << read.out;
        }
        EXPECT_GT(marked, 0u) << container;
    }
}

struct RefusalCase {
    const char* name;
    const char* arguments;
    int status;
    std::vector<const char*> says;  // parts of the message
};
void PrintTo(const RefusalCase& c, std::ostream* out) { *out << c.name; }
using QelhostRefusals = QelhostTable<RefusalCase>;

// Settings qelhost cannot take end with status 2 and the valid ones; a render
// whose every request fails with status 1. Neither leaves a file.
TEST_P(QelhostRefusals, TheRunFailsSayingWhyAndWritesNothing) {
    const RefusalCase& c = GetParam();
    const CommandResult result = render(std::string("--frames 3 ") + c.arguments + " -o refused.mov");
    EXPECT_EQ(result.status, c.status) << result.out;
    for (const char* part : c.says) EXPECT_NE(result.out.find(part), std::string::npos) << result.out;
    EXPECT_FALSE(std::filesystem::exists(path("refused.mov")));
}

INSTANTIATE_TEST_SUITE_P(
    , QelhostRefusals,
    ::testing::Values(
        RefusalCase{"unknown_control", "--set klavbogus=1", 2,
                    {"no control \"klavbogus\" in the panel", "klavvideocodec  (choice)"}},
        RefusalCase{"unknown_item", "--set klavformat=nosuch", 2, {"\"nosuch\" is not a value", "QuickTime / MOV"}},
        RefusalCase{"number_out_of_range", "--set klavkeyframes=51", 2, {"a whole number from 0 to 50"}},
        RefusalCase{"faststart_outside_mov_and_mp4", "--set klavformat=avi --set klavfaststart=on", 2,
                    {"klavfaststart is disabled in the panel"}},
        RefusalCase{"drop_frame_timecode_at_25", "--timecode '01:00:00;00'", 2, {"--timecode: ", "only at 29.97"}},
        RefusalCase{"malformed_timecode", "--timecode 1:00:00:00", 2, {"--timecode: ", "is not HH:MM:SS:FF"}},
        RefusalCase{"timecode_frames_too_big", "--timecode 01:00:00:25", 2, {"--timecode: ", "must be below 25"}},
        RefusalCase{"drop_frame_label_skipped", "--fps 29.97 --timecode '01:01:00;01'", 2, {"never reached"}},
        // DV takes only its own picture sizes.
        RefusalCase{"every_request_fails", "--size 64x48 --set klavformat=dv", 1, {"3 of 3 frame requests failed"}}),
    row_name<RefusalCase>);

// A new file every four frames, a key frame where a timeline segment begins, and
// the channels left ticked.
TEST_F(QelhostRender, SplitStartsNewFilesAndCutsGiveKeyFrames) {
    const CommandResult result = render(
        "--frames 10 --size 64x48 --split 4 --cuts 2,9 --set klavkeyframes=50 --set klavformat=mov "
        "--set klavvideocodec=libx264 --set 'klavaudiocodec=PCM signed 16-bit little-endian' "
        "--audio-channels 3 --set ffaudioChan2=off -o part.mov");
    ASSERT_EQ(result.status, 0) << result.out;
    const int frames[] = {4, 4, 2};
    const std::vector<int> keys[] = {{0, 2}, {0}, {0, 1}};
    for (int part = 0; part < 3; ++part) {
        SCOPED_TRACE(part + 1);
        const probe::File file = probe::read(path("part_" + std::to_string(part + 1) + ".mov"));
        ASSERT_TRUE(file.first(AVMEDIA_TYPE_AUDIO)) << file.error_text();
        EXPECT_EQ(file.first(AVMEDIA_TYPE_AUDIO)->codec, "pcm_s16le");
        EXPECT_EQ(file.first(AVMEDIA_TYPE_AUDIO)->channels, 2) << "one toggle off keeps the others on";
        EXPECT_EQ(file.video_frames, frames[part]);
        EXPECT_EQ(probe::key_frames(file), keys[part]);
    }
}

struct RenderCase {
    const char* name;
    const char* arguments;  // after 16x16 mpeg4 pictures with mono aac sound
    const char* file;
    int frames;
    const char* rate;             // the file's, exact
    const char* first = nullptr;  // the file's timecode; nullptr: not looked at
    const char* last = nullptr;   // the last frame's, counted on from `first` at `rate`
    int fields = AV_FIELD_PROGRESSIVE;  // of the first decoded picture
    const char* size = "16x16";
    const char* pixels = nullptr;  // the file's pix_fmt and profile as ffprobe reads them; nullptr: not looked at
    const char* profile = nullptr;
};
void PrintTo(const RenderCase& c, std::ostream* out) { *out << c.name; }
using QelhostRenders = QelhostTable<RenderCase>;

// NTSC rates come from the host as doubles and go into the file as exact
// fractions, and the sound keeps step with them (ten minutes to the last frame).
// Every stream carrying a timecode starts at the host's first, and counting on
// at the file's rate lands on the host's last. Interlaced pictures keep their order.
TEST_P(QelhostRenders, TheFileCarriesTheHostsRateTimecodeAndFieldOrder) {
    const RenderCase& c = GetParam();
    const CommandResult result =
        render("--size " + std::string(c.size) + " --audio-channels 1 --set klavvideocodec=mpeg4 --set klavaudiocodec=aac " +
               std::string(c.arguments) + " --frames " + std::to_string(c.frames) + " -o " + c.file);
    ASSERT_EQ(result.status, 0) << result.out;
    const CommandResult rates =
        probe_streams("-select_streams v:0 -show_entries stream=r_frame_rate,avg_frame_rate '" + path(c.file) + "'");
    EXPECT_EQ(rates.out, std::string(c.rate) + "," + c.rate + "\n");
    if (c.pixels) {
        const CommandResult coded =
            probe_streams("-select_streams v:0 -show_entries stream=pix_fmt,profile '" + path(c.file) + "'");
        EXPECT_EQ(coded.out, std::string(c.profile) + "," + c.pixels + "\n");
    }

    probe::Options tail;  // ten minutes of samples need not be kept
    tail.keep_from = INT64_MAX;
    const probe::File file = probe::read(path(c.file), tail);
    ASSERT_EQ(file.video_frames, c.frames) << file.error_text();
    EXPECT_EQ(file.frames[0].field_order, c.fields);
    AVRational rate{};
    ASSERT_EQ(av_parse_video_rate(&rate, c.rate), 0);
    EXPECT_LT(std::abs(file.audio_seconds() - file.video_seconds), 1 / av_q2d(rate))
        << "audio " << file.audio_seconds() << " s, video " << file.video_seconds << " s";
    if (!c.first) return;
    // mov: the video and its tmcd track; matroska: the video's tag.
    int carriers = 0;
    std::string written;
    for (const probe::Stream& stream : file.streams) {
        const std::string timecode = probe::File::in(stream.tags, "timecode");
        carriers += !timecode.empty();
        if (!timecode.empty()) written = timecode;
        EXPECT_TRUE(timecode.empty() || timecode == c.first) << timecode;
    }
    ASSERT_GT(carriers, 0);
    // A reader counting on from the file's own timecode at the file's own
    // rate reaches the host's last label on the last frame.
    AVRational fileRate{};
    ASSERT_EQ(av_parse_video_rate(&fileRate, rates.out.substr(0, rates.out.find(',')).c_str()), 0) << rates.out;
    AVTimecode start{};
    ASSERT_EQ(av_timecode_init_from_string(&start, fileRate, written.c_str(), nullptr), 0);
    char last[AV_TIMECODE_STR_SIZE];
    EXPECT_STREQ(av_timecode_make_string(&start, last, file.video_frames - 1), c.last);
    EXPECT_NE(result.out.find(std::string("timecode ") + c.first + " to " + c.last + "\n"), std::string::npos)
        << result.out;
}

INSTANTIATE_TEST_SUITE_P(
    , QelhostRenders,
    ::testing::Values(
        RenderCase{"ntsc_film", "--fps 23.976023976 --set klavformat=mov", "r.mov", 48, "24000/1001"},
        RenderCase{"ntsc_film_typed", "--fps 23.976 --set klavformat=mp4", "r.mp4", 48, "24000/1001"},
        RenderCase{"ntsc_ten_minutes", "--fps 29.97002997 --set klavformat=mov --set klavaudiocodec=pcm_s16le",
                   "r.mov", 17982, "30000/1001"},
        RenderCase{"ntsc_48", "--fps 47.952047952 --set klavformat=mov", "r.mov", 48, "48000/1001"},
        RenderCase{"ntsc_double", "--fps 59.94005994 --set klavformat=mp4", "r.mp4", 60, "60000/1001"},
        RenderCase{"pal_double", "--fps 50 --set klavformat=mp4", "r.mp4", 50, "50/1"},
        RenderCase{"other", "--fps 12.5 --set klavformat=mov", "r.mov", 25, "25/2"},
        RenderCase{"drop_frame_minute", "--fps 29.97002997 --set klavformat=mov --timecode '01:00:00;00'", "t.mov",
                   1801, "30000/1001", "01:00:00;00", "01:01:00;02"},
        RenderCase{"drop_frame_double", "--fps 59.94005994 --set klavformat=mov --timecode '00:00:59;58'", "t.mov", 3,
                   "60000/1001", "00:00:59;58", "00:01:00;04"},
        RenderCase{"non_drop_matroska", "--set klavformat=matroska --timecode 10:00:00:00", "t.mkv", 26, "25/1",
                   "10:00:00:00", "10:00:01:00"},
        RenderCase{"none_given", "--set klavformat=mov", "t.mov", 26, "25/1", "00:00:00:00", "00:00:01:00"},
        RenderCase{"upper_first", "--set klavformat=mov --set klavvideocodec=libx264 --field-order tt", "f.mov", 4,
                   "25/1", nullptr, nullptr, AV_FIELD_TT},
        RenderCase{"lower_first", "--set klavformat=mov --set klavvideocodec=libx264 --field-order bb", "f.mov", 4,
                   "25/1", nullptr, nullptr, AV_FIELD_BB},
        // Choices the panel offers that did not render: DNxHD at its defaults, HEVC and ProRes in Matroska,
        // pixels beyond the encoder's default profile (the profile follows them).
        RenderCase{"dnxhd_defaults_1080p25", "--set klavformat=mov --set klavvideocodec=dnxhd", "d.mov", 3, "25/1",
                   nullptr, nullptr, AV_FIELD_PROGRESSIVE, "1920x1080", "yuv422p", "DNXHD"},
        RenderCase{"dnxhd_defaults_720p50", "--fps 50 --set klavformat=mov --set klavvideocodec=dnxhd", "d.mov", 3,
                   "50/1", nullptr, nullptr, AV_FIELD_PROGRESSIVE, "1280x720", "yuv422p", "DNXHD"},
        RenderCase{"hevc_in_matroska", "--set klavformat=matroska --set klavvideocodec=libx265", "h.mkv", 5, "25/1",
                   nullptr, nullptr, AV_FIELD_PROGRESSIVE, "64x64", "yuv420p", "Main"},
        RenderCase{"prores_in_matroska", "--set klavformat=matroska --set klavvideocodec=prores_ks", "p.mkv", 5,
                   "25/1", nullptr, nullptr, AV_FIELD_PROGRESSIVE, "64x64", "yuv422p10le", "Proxy"},
        RenderCase{"dnxhd_in_matroska", "--set klavformat=matroska --set klavvideocodec=dnxhd", "d.mkv", 3, "25/1",
                   nullptr, nullptr, AV_FIELD_PROGRESSIVE, "1920x1080", "yuv422p", "DNXHD"},
        RenderCase{"prores_444_from_proxy",
                   "--set klavformat=mov --set klavvideocodec=prores_aw --set klavvidprofile=Proxy --set klavpixelfmt=yuv444p10le",
                   "p.mov", 3, "25/1", nullptr, nullptr, AV_FIELD_PROGRESSIVE, "64x64", "yuv444p12le", "4444"},  // as decoded
        RenderCase{"x264_422", "--set klavformat=mov --set klavvideocodec=libx264 --set klavpixelfmt=yuv422p", "x.mov",
                   3, "25/1", nullptr, nullptr, AV_FIELD_PROGRESSIVE, "64x64", "yuv422p", "High 4:2:2"},
        RenderCase{"x264_444", "--set klavformat=mp4 --set klavvideocodec=libx264 --set klavpixelfmt=yuvj444p", "x.mp4",
                   3, "25/1", nullptr, nullptr, AV_FIELD_PROGRESSIVE, "64x64", "yuvj444p", "High 4:4:4 Predictive"},
        RenderCase{"x264_10_bits", "--set klavformat=matroska --set klavvideocodec=libx264 --set klavpixelfmt=yuv420p10le",
                   "x.mkv", 3, "25/1", nullptr, nullptr, AV_FIELD_PROGRESSIVE, "64x64", "yuv420p10le", "High 10"},
        RenderCase{"vp9_444", "--set klavformat=mp4 --set klavvideocodec=libvpx-vp9 --set klavpixelfmt=yuv444p", "v.mp4",
                   3, "25/1", nullptr, nullptr, AV_FIELD_PROGRESSIVE, "64x64", "yuv444p", "Profile 1"},
        RenderCase{"vp9_12_bits", "--set klavformat=matroska --set klavvideocodec=libvpx-vp9 --set klavpixelfmt=yuv422p12le",
                   "v.mkv", 3, "25/1", nullptr, nullptr, AV_FIELD_PROGRESSIVE, "64x64", "yuv422p12le", "Profile 3"},
        RenderCase{"av1_422", "--set klavformat=matroska --set klavvideocodec=libaom-av1 --set klavpixelfmt=yuv422p",
                   "a.mkv", 3, "25/1", nullptr, nullptr, AV_FIELD_PROGRESSIVE, "64x64", "yuv422p", "Professional"}),
    row_name<RenderCase>);

namespace {

// One encoder in one container, in each of the three colour choices beyond Rec.709.
struct HdrPair {
    const char* encoder;
    const char* container;
    const char* extension;
    const char* bitstream = nullptr;  // the raw muxer that takes its pictures out alone: they carry PQ's values too
    const char* settings = "";        // chosen before the colour
};
struct HdrCase {
    HdrPair pair;
    const char* colour;
    bool ownValues;  // the panel's mastering values away from their defaults
};
void PrintTo(const HdrCase& c, std::ostream* out) { *out << c.pair.encoder << " " << c.pair.container << " " << c.colour; }

const HdrPair HDR_PAIRS[] = {
    {"libx265", "mov", "mov", "hevc"},
    {"libx265", "mp4", "mp4", "hevc"},
    {"libx265", "matroska", "mkv", "hevc"},
    {"libsvtav1", "mp4", "mp4", "obu"},
    {"libsvtav1", "matroska", "mkv", "obu"},
    {"libsvtav1", "webm", "webm", "obu"},
    {"libvpx-vp9", "mp4", "mp4"},
    {"libvpx-vp9", "matroska", "mkv"},
    {"libvpx-vp9", "webm", "webm"},
    {"prores_ks", "mov", "mov"},
    {"prores_ks", "matroska", "mkv"},
    {"prores_aw", "mov", "mov"},
    {"prores_aw", "matroska", "mkv"},
    {"dnxhd", "mov", "mov", nullptr, "--set 'klavvidprofile=DNXHR HQX' "},
    {"dnxhd", "matroska", "mkv", nullptr, "--set 'klavvidprofile=DNXHR HQX' "},
    {"ffv1", "matroska", "mkv"},
};

std::vector<HdrCase> hdr_cases() {
    std::vector<HdrCase> cases;
    bool own = false;  // every other PQ row
    for (const HdrPair& pair : HDR_PAIRS) {
        cases.push_back({pair, "Rec.2100 PQ", own = !own});
        cases.push_back({pair, "Rec.2100 HLG", false});
        cases.push_back({pair, "Rec.2020", false});
    }
    return cases;
}

// A mastering display as the panel's items name it: chromaticities R, G, B
// and white, luminances in cd/m², light levels.
struct Mastering {
    double primaries[4][2];
    double max, min;
    int cll, fall;
};
constexpr Mastering DEFAULT_MASTERING = {
    {{0.680, 0.320}, {0.265, 0.690}, {0.150, 0.060}, {0.3127, 0.3290}}, 1000, 0.005, 1000, 400};
constexpr Mastering OWN_MASTERING = {
    {{0.708, 0.292}, {0.170, 0.797}, {0.131, 0.046}, {0.3127, 0.3290}}, 4000, 0.0001, 1600, 250};
constexpr const char* OWN_MASTERING_SETTINGS = "--set klavmasterprimaries=Rec.2020 --set klavmastermax=4000 "
                                               "--set klavmastermin=0.0001 --set klavmaxcll=1600 --set klavmaxfall=250 ";

double rational(const nlohmann::json& value) {
    AVRational q{0, 1};
    if (!value.is_string() || av_parse_ratio(&q, value.get<std::string>().c_str(), INT_MAX, 0, nullptr) < 0) return -1;
    return av_q2d(q);
}

// The mastering display and light levels of a side-data list, as `want`
// says, within the formats' own steps (AV1 keeps 1/65536 and 1/16384,
// Matroska floats, the others 0.00002 and 0.0001 cd/m²).
void expect_mastering(const nlohmann::json& list, const Mastering& want, const std::string& where) {
    SCOPED_TRACE(where);
    const nlohmann::json* display = nullptr;
    const nlohmann::json* light = nullptr;
    for (const nlohmann::json& data : list) {
        const std::string type = data.value("side_data_type", "");
        if (type == "Mastering display metadata") display = &data;
        if (type == "Content light level metadata") light = &data;
    }
    ASSERT_TRUE(display && light) << list.dump();
    const char* names[4][2] = {{"red_x", "red_y"}, {"green_x", "green_y"}, {"blue_x", "blue_y"},
                               {"white_point_x", "white_point_y"}};
    for (int i = 0; i < 4; ++i)
        for (int k = 0; k < 2; ++k)
            EXPECT_NEAR(rational(display->value(names[i][k], nlohmann::json())), want.primaries[i][k], 0.00003)
                << names[i][k];
    EXPECT_NEAR(rational(display->value("max_luminance", nlohmann::json())), want.max, want.max * 1e-4);
    EXPECT_NEAR(rational(display->value("min_luminance", nlohmann::json())), want.min, 1.0 / 32768);
    EXPECT_EQ(light->value("max_content", -1), want.cll);
    EXPECT_EQ(light->value("max_average", -1), want.fall);
}

using HdrRenders = QelhostTable<HdrCase>;

}  // namespace

// Each choice says in the file what its pixels are: primaries, transfer and
// matrix on the stream; for PQ the mastering display and light levels as the
// container's own, in the HEVC and AV1 pictures too, and as MediaInfo reads
// them. PQ and HLG have taken the pixels to 10 bits.
TEST_P(HdrRenders, TheFileSaysTheColourChosen) {
    const HdrCase& c = GetParam();
    const bool pq = std::string(c.colour) == "Rec.2100 PQ";
    const bool hlg = std::string(c.colour) == "Rec.2100 HLG";
    const std::string file = std::string("hdr.") + c.pair.extension;
    const CommandResult result =
        render(std::string("--size 256x144 --audio-channels 0 --frames 3 --set klavformat=") + c.pair.container +
               " --set klavvideocodec=" + c.pair.encoder + " " + c.pair.settings + (c.ownValues ? OWN_MASTERING_SETTINGS : "") +
               "--set 'klavcolour=" + c.colour + "' -o " + file);
    ASSERT_EQ(result.status, 0) << result.out;
    const Mastering& want = c.ownValues ? OWN_MASTERING : DEFAULT_MASTERING;

    const CommandResult probed = run_command("ffprobe -v error -of json -select_streams v:0 -show_streams '" + path(file) + "'", false);
    const nlohmann::json stream = nlohmann::json::parse(probed.out, nullptr, false).value("streams", nlohmann::json::array()).at(0);
    // ProRes pictures code BT.2020's curve as BT.709's, as QuickTime tags Rec.2020.
    const bool prores = std::string(c.pair.encoder).rfind("prores", 0) == 0;
    EXPECT_EQ(stream.value("color_primaries", ""), "bt2020");
    EXPECT_EQ(stream.value("color_space", ""), "bt2020nc");
    EXPECT_EQ(stream.value("color_transfer", ""), pq ? "smpte2084" : hlg ? "arib-std-b67" : prores ? "bt709" : "bt2020-10");
    const AVPixFmtDescriptor* pixels = av_pix_fmt_desc_get(av_get_pix_fmt(stream.value("pix_fmt", "").c_str()));
    ASSERT_NE(pixels, nullptr) << stream.dump();
    if (pq || hlg) { EXPECT_GE(pixels->comp[0].depth, 10); }
    if ((pq || hlg) && std::string(c.pair.encoder) == "libvpx-vp9") { EXPECT_EQ(stream.value("profile", ""), "Profile 2"); }
    const nlohmann::json sideData = stream.value("side_data_list", nlohmann::json::array());
    if (!pq) {
        for (const nlohmann::json& data : sideData)
            EXPECT_EQ(data.value("side_data_type", "").find("Mastering"), std::string::npos) << data.dump();
        return;
    }
    expect_mastering(sideData, want, "the stream");

    if (c.pair.bitstream) {
        const std::string alone = path("pictures." + std::string(c.pair.bitstream));
        ASSERT_EQ(run_command("ffmpeg -v error -y -i '" + path(file) + "' -map 0:v -c copy -f " + c.pair.bitstream + " '" + alone + "'").status, 0);
        const CommandResult frames =
            run_command("ffprobe -v error -of json -show_frames -read_intervals %+#1 '" + alone + "'", false);
        const nlohmann::json first = nlohmann::json::parse(frames.out, nullptr, false).value("frames", nlohmann::json::array()).at(0);
        expect_mastering(first.value("side_data_list", nlohmann::json::array()), want, "the first picture");
    }
    const std::string format = mediainfo_video(path(file), "%HDR_Format%|%HDR_Format_Compatibility%");
    EXPECT_NE(format.find("SMPTE ST 2086"), std::string::npos) << format;
    EXPECT_NE(format.find("HDR10"), std::string::npos) << format;
}

INSTANTIATE_TEST_SUITE_P(, HdrRenders, ::testing::ValuesIn(hdr_cases()), [](const auto& info) {
    std::string name = std::string(info.param.pair.encoder) + "_" + info.param.pair.container + "_" + info.param.colour;
    for (char& ch : name) ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    return name;
});
