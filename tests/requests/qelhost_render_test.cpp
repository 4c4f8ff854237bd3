// qelhost render as a person runs it, the files checked with FFmpeg's decoders.
#include "request_fixture.h"

extern "C" {
#include <libavutil/parseutils.h>
#include <libavutil/timecode.h>
}

#include <filesystem>
#include <sstream>
#include <string>

namespace {

class QelhostRender : public RequestTest {
protected:
    // qelhost render run from the scratch folder.
    CommandResult render(const std::string& arguments) const {
        return run_command("cd '" + dir + "' && '" + QELHOST + "' render " + arguments);
    }
};

template <typename Row>
class QelhostTable : public QelhostRender, public ::testing::WithParamInterface<Row> {};

}  // namespace

TEST_F(QelhostRender, TheDefaultClipIsH264HighAt1080pWithStereoSound) {
    // The full demo is 250 frames; a second of it shows the same.
    const CommandResult result = render("--frames 25");
    ASSERT_EQ(result.status, 0) << result.out;
    EXPECT_NE(result.out.find("out/demo.mp4"), std::string::npos) << "says where the file is\n" << result.out;

    const probe::File file = probe::read(dir + "/out/demo.mp4");
    ASSERT_TRUE(file.opened);
    EXPECT_NE(file.format.find("mp4"), std::string::npos) << file.format;
    const probe::Stream* video = file.first(AVMEDIA_TYPE_VIDEO);
    const probe::Stream* audio = file.first(AVMEDIA_TYPE_AUDIO);
    ASSERT_TRUE(video && audio);
    EXPECT_EQ(video->codec, "h264");
    EXPECT_EQ(video->profile, AV_PROFILE_H264_HIGH);
    EXPECT_EQ(video->width, 1920);
    EXPECT_EQ(video->height, 1080);
    EXPECT_EQ(file.video_frames, 25);
    EXPECT_EQ(audio->channels, 2);
    EXPECT_EQ(audio->sample_rate, 48000);
    EXPECT_NEAR(double(file.audio_samples) / 48000, 1.0, 0.03);
    EXPECT_TRUE(file.errors.empty()) << file.error_text();
    EXPECT_TRUE(index_in_front(dir + "/out/demo.mp4"));
}

TEST_F(QelhostRender, AnInputClipKeepsItsFramesAndDuration) {
    struct Case {
        const char* name;
        const char* rate;
        int frames;
        double seconds;
    };
    for (const Case& c : {Case{"in.mp4", "25", 50, 2.0}, Case{"in.mkv", "30000/1001", 60, 60 * 1001 / 30000.0}}) {
        SCOPED_TRACE(c.name);
        const std::string input = dir + "/" + c.name, output = dir + "/out_" + c.name + ".mp4";
        const CommandResult made = run_command(std::string("ffmpeg -v error -y -f lavfi -i testsrc=size=160x120:rate=") +
                                               c.rate + ":d=2 -f lavfi -i sine=frequency=440:sample_rate=44100:d=2 " +
                                               "-pix_fmt yuv420p '" + input + "'");
        ASSERT_EQ(made.status, 0) << made.out;
        const probe::File source = probe::read(input);
        ASSERT_EQ(source.video_frames, c.frames);

        const CommandResult result = render("--input '" + input + "' -o '" + output + "'");
        ASSERT_EQ(result.status, 0) << result.out;
        const probe::File file = probe::read(output);
        EXPECT_EQ(file.video_frames, source.video_frames);
        // Matroska counts whole milliseconds: its own end may lie a few later.
        EXPECT_NEAR(source.video_seconds, c.seconds, 0.005);
        EXPECT_NEAR(file.video_seconds, c.seconds, 0.0005);
        ASSERT_NE(file.first(AVMEDIA_TYPE_AUDIO), nullptr);
        EXPECT_EQ(file.first(AVMEDIA_TYPE_AUDIO)->sample_rate, 44100);
        EXPECT_NEAR(double(file.audio_samples) / 44100, file.video_seconds, 0.03);
        EXPECT_TRUE(file.errors.empty()) << file.error_text();
    }
}

struct RefusalCase {
    const char* name;
    const char* arguments;
    int status;
    std::vector<const char*> says;  // parts of the message
};

using QelhostRefusals = QelhostTable<RefusalCase>;

// Settings qelhost cannot take are refused with status 2 and the valid ones;
// a render whose every request fails ends with status 1. Neither leaves a file.
TEST_P(QelhostRefusals, TheRunFailsSayingWhyAndWritesNothing) {
    const RefusalCase& c = GetParam();
    const CommandResult result = render(std::string("--frames 3 ") + c.arguments + " -o refused.mov");
    EXPECT_EQ(result.status, c.status) << result.out;
    for (const char* part : c.says) EXPECT_NE(result.out.find(part), std::string::npos) << result.out;
    EXPECT_FALSE(std::filesystem::exists(dir + "/refused.mov")) << "nothing rendered";
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
        RefusalCase{"drop_frame_timecode_at_25", "--timecode '01:00:00;00'", 2,
                    {"qelhost: --timecode: ", "only at 29.97 or 59.94"}},
        RefusalCase{"malformed_timecode", "--timecode 1:00:00:00", 2, {"qelhost: --timecode: ", "is not HH:MM:SS:FF"}},
        RefusalCase{"timecode_frames_too_big", "--timecode 01:00:00:25", 2, {"qelhost: --timecode: ", "must be below 25"}},
        RefusalCase{"drop_frame_label_skipped", "--fps 29.97 --timecode '01:01:00;01'", 2,
                    {"qelhost: --timecode: ", "never reached"}},
        // DV takes only its own picture sizes.
        RefusalCase{"every_request_fails", "--size 64x48 --set klavformat=dv", 1, {"3 of 3 frame requests failed"}}),
    row_name<RefusalCase>);

// Choices by short name, item text and index; a new file every four frames,
// and a key frame where a timeline segment begins.
TEST_F(QelhostRender, SplitStartsNewFilesAndCutsGiveKeyFrames) {
    const CommandResult result = render(
        "--frames 10 --size 64x48 --split 4 --cuts 2,9 --set klavkeyframes=50 --set klavformat=mov "
        "--set klavvideocodec=libx264 --set klavquality=High --set 'klavaudiocodec=PCM signed 16-bit little-endian' "
        "--set klavaudbitrate=0 -o part.mov");
    ASSERT_EQ(result.status, 0) << result.out;
    const int frames[] = {4, 4, 2};
    const std::vector<int> keys[] = {{0, 2}, {0}, {0, 1}};
    for (int part = 0; part < 3; ++part) {
        SCOPED_TRACE(part + 1);
        const probe::File file = probe::read(dir + "/part_" + std::to_string(part + 1) + ".mov");
        EXPECT_NE(file.format.find("mov"), std::string::npos);
        ASSERT_TRUE(file.first(AVMEDIA_TYPE_VIDEO) && file.first(AVMEDIA_TYPE_AUDIO));
        EXPECT_EQ(file.first(AVMEDIA_TYPE_VIDEO)->codec, "h264");
        EXPECT_EQ(file.first(AVMEDIA_TYPE_AUDIO)->codec, "pcm_s16le");
        EXPECT_EQ(file.video_frames, frames[part]);
        EXPECT_EQ(probe::key_frames(file), keys[part]);
    }
}

struct RateCase {
    const char* name;
    const char* fps;       // as the host sends it
    const char* expected;  // the file's frame rate
    int frames;
    const char* container;
    const char* audio = "aac";
};
using QelhostRates = QelhostTable<RateCase>;

// NTSC rates come from the host as doubles and go into the file as exact
// fractions; others as they are. Ten minutes of 29.97 keep sound and
// pictures in step to the last frame.
TEST_P(QelhostRates, TheFileCarriesTheExactRateAndSoundKeepsStep) {
    const RateCase& c = GetParam();
    const std::string name = std::string("rate.") + c.container;
    const CommandResult result = render(std::string("--size 16x16 --audio-channels 1 --fps ") + c.fps + " --frames " +
                                        std::to_string(c.frames) + " --set klavformat=" + c.container +
                                        " --set klavvideocodec=mpeg4 --set klavaudiocodec=" + c.audio + " -o " + name);
    ASSERT_EQ(result.status, 0) << result.out;
    const CommandResult rates = probe_streams("-select_streams v:0 -show_entries stream=r_frame_rate,avg_frame_rate '" +
                                              path(name) + "'");
    EXPECT_EQ(rates.out, std::string(c.expected) + "," + c.expected + "\n");

    probe::Options tail;  // ten minutes of samples need not be kept
    tail.keep_from = INT64_MAX;
    const probe::File file = probe::read(path(name), tail);
    ASSERT_TRUE(file.opened) << file.error_text();
    EXPECT_EQ(file.video_frames, c.frames);
    EXPECT_LT(std::abs(file.audio_seconds() - file.video_seconds), 1.0 / std::atof(c.fps))
        << "audio " << file.audio_seconds() << " s, video " << file.video_seconds << " s";
}

INSTANTIATE_TEST_SUITE_P(, QelhostRates,
                         ::testing::Values(RateCase{"ntsc_film", "23.976023976", "24000/1001", 48, "mov"},
                                           RateCase{"ntsc_film_typed", "23.976", "24000/1001", 48, "mp4"},
                                           RateCase{"ntsc_ten_minutes", "29.97002997", "30000/1001", 17982, "mov", "pcm_s16le"},
                                           RateCase{"ntsc_48", "47.952047952", "48000/1001", 48, "mov"},
                                           RateCase{"ntsc_double", "59.94005994", "60000/1001", 60, "mp4"},
                                           RateCase{"pal", "25", "25/1", 50, "mov"},
                                           RateCase{"pal_double", "50", "50/1", 50, "mp4"},
                                           RateCase{"other", "12.5", "25/2", 25, "mov"}),
                         row_name<RateCase>);

struct TimecodeCase {
    const char* name;
    const char* fps;
    const char* timecode;  // given to --timecode; nullptr for none
    int frames;
    const char* container;
    const char* first;  // the file's start
    const char* last;   // the last frame's, counted from the file's start and rate
};
using QelhostTimecodes = QelhostTable<TimecodeCase>;

// The host counts on from the first timecode; the file says where it starts,
// and counting from there with libavutil at the file's rate must land on the
// host's last one.
TEST_P(QelhostTimecodes, TheFileStartsAtTheFirstAndCountsToTheHostsLast) {
    const TimecodeCase& c = GetParam();
    const std::string name = std::string("tc.") + c.container;
    const CommandResult result =
        render(std::string("--size 16x16 --audio-channels 0 --set klavvideocodec=mpeg4 --fps ") + c.fps +
               " --frames " + std::to_string(c.frames) + " --set klavformat=" + c.container +
               (c.timecode ? std::string(" --timecode '") + c.timecode + "'" : std::string()) + " -o " + name);
    ASSERT_EQ(result.status, 0) << result.out;

    // Each stream that carries a timecode (mov: the video and its tmcd
    // track; matroska: the video's tag) says the same.
    const CommandResult probed =
        probe_streams("-show_entries stream=codec_type,r_frame_rate:stream_tags=timecode '" + path(name) + "'");
    ASSERT_EQ(probed.status, 0) << probed.out;
    std::string rate;
    int carriers = 0;
    std::istringstream lines(probed.out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string type, streamRate, timecode;
        std::getline(fields, type, ',');
        std::getline(fields, streamRate, ',');
        std::getline(fields, timecode, ',');
        if (type == "video") rate = streamRate;
        if (timecode.empty()) continue;
        ++carriers;
        EXPECT_EQ(timecode, c.first) << type << " stream";
    }
    ASSERT_GT(carriers, 0) << probed.out;

    AVRational fileRate{};
    ASSERT_EQ(av_parse_video_rate(&fileRate, rate.c_str()), 0) << probed.out;
    AVTimecode start{};
    ASSERT_EQ(av_timecode_init_from_string(&start, fileRate, c.first, nullptr), 0);
    char last[AV_TIMECODE_STR_SIZE];
    EXPECT_STREQ(av_timecode_make_string(&start, last, c.frames - 1), c.last);
    EXPECT_NE(result.out.find(std::string("timecode ") + c.first + " to " + last + "\n"), std::string::npos)
        << result.out;
}

INSTANTIATE_TEST_SUITE_P(
    , QelhostTimecodes,
    ::testing::Values(
        TimecodeCase{"drop_frame_minute", "29.97002997", "01:00:00;00", 1801, "mov", "01:00:00;00", "01:01:00;02"},
        TimecodeCase{"drop_frame_double", "59.94005994", "00:00:59;58", 3, "mov", "00:00:59;58", "00:01:00;04"},
        TimecodeCase{"non_drop_mov", "25", "10:00:00:00", 26, "mov", "10:00:00:00", "10:00:01:00"},
        TimecodeCase{"non_drop_matroska", "25", "10:00:00:00", 26, "matroska", "10:00:00:00", "10:00:01:00"},
        TimecodeCase{"none_given", "25", nullptr, 26, "mov", "00:00:00:00", "00:00:01:00"}),
    row_name<TimecodeCase>);

struct FieldCase {
    const char* name;
    const char* order;        // given to --field-order
    const char* expected[2];  // what ffprobe may say: either means the right field first
};
using QelhostFieldOrders = QelhostTable<FieldCase>;

TEST_P(QelhostFieldOrders, TheFileSaysWhichFieldComesFirst) {
    const FieldCase& c = GetParam();
    const CommandResult result = render(std::string("--size 64x48 --audio-channels 0 --frames 4 --set klavformat=mov "
                                                    "--set klavvideocodec=libx264 --field-order ") +
                                        c.order + " -o fields.mov");
    ASSERT_EQ(result.status, 0) << result.out;
    const CommandResult probed = probe_streams("-select_streams v:0 -show_entries stream=field_order '" +
                                               path("fields.mov") + "'");
    EXPECT_TRUE(probed.out == std::string(c.expected[0]) + "\n" || probed.out == std::string(c.expected[1]) + "\n")
        << "ffprobe says " << probed.out;
    EXPECT_EQ(probe::read(path("fields.mov")).video_frames, 4);
}

INSTANTIATE_TEST_SUITE_P(, QelhostFieldOrders,
                         ::testing::Values(FieldCase{"upper_first", "tt", {"tt", "tb"}},
                                           FieldCase{"lower_first", "bb", {"bb", "bt"}},
                                           FieldCase{"progressive", "progressive", {"progressive", "progressive"}}),
                         row_name<FieldCase>);
