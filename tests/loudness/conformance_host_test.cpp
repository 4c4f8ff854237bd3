// Loudness as EBU Tech 3341 and 3342 define their test signals, made here
// and rendered as a clip's sound through the stand-in host into PCM mov and
// AAC mp4: the report's figures within the published tolerances and within
// 0.1 LU of FFmpeg's own meter on the rendered file, and the same figures in
// the movie's loudness box. Then the targets: a render that misses one by a
// known margin gets one sentence naming the figure, one that meets it none.
#include "requests/request_fixture.h"

#include "boxes/boxes.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <regex>

namespace {

using nlohmann::json;

// A stretch of the signal: a sine at `dbfs` peak level in every channel,
// or as `channel_dbfs` gives them.
struct Part {
    double dbfs;
    double seconds;
    std::vector<double> channel_dbfs = {};
};

struct Signal {
    std::vector<Part> parts;
    int channels = 2;
    double frequency = 1000;  // Hz; true-peak cases use fractions of the rate
    double phase = 0;         // degrees
    // Seconds over which the sine rises at the start and falls at the end:
    // a sine that starts at full level rings in any reconstruction, above
    // the peaks a true-peak case means to measure.
    double ramp = 0;
};

qelhost::AudioClip clip_of(const Signal& signal, int64_t& frames) {
    constexpr double RATE = 48000;
    std::vector<int64_t> ends;
    int64_t total = 0;
    for (const Part& part : signal.parts) ends.push_back(total += int64_t(std::llround(part.seconds * RATE)));
    qelhost::AudioClip clip = qelhost::AudioClip::tone(RATE, signal.channels, 16);
    clip.length = total;
    clip.sample = [signal, ends](int channel, int64_t index) {
        const size_t part = size_t(std::upper_bound(ends.begin(), ends.end(), index) - ends.begin());
        if (index < 0 || part >= ends.size()) return 0.0;
        const Part& p = signal.parts[part];
        const double dbfs = p.channel_dbfs.empty() ? p.dbfs : p.channel_dbfs[size_t(channel)];
        const double t = double(index) / RATE, left = double(ends.back() - index) / RATE;
        const double ramp = signal.ramp > 0 ? 0.5 - 0.5 * std::cos(M_PI * std::min({t, left, signal.ramp}) / signal.ramp) : 1;
        return ramp * std::pow(10, dbfs / 20) * std::sin(2 * M_PI * signal.frequency * t + signal.phase * M_PI / 180);
    };
    frames = (total * 25 + int64_t(RATE) - 1) / int64_t(RATE);
    return clip;
}

enum class Figure { Integrated, ShortTermMax, Range, TruePeak };

struct Conformance {
    const char* name;
    Signal signal;
    Figure figure;
    double expected, above, below;  // the tolerance either way
};
void PrintTo(const Conformance& c, std::ostream* out) { *out << c.name; }

const char* key_of(Figure f) {
    switch (f) {
    case Figure::Integrated: return "integrated";
    case Figure::ShortTermMax: return "short_term_max";
    case Figure::Range: return "range";
    case Figure::TruePeak: return "true_peak";
    }
    return "";
}

const Conformance CASES[] = {
    {"Tech3341_1", {{{-23, 20}}}, Figure::Integrated, -23, 0.1, 0.1},
    {"Tech3341_2", {{{-33, 20}}}, Figure::Integrated, -33, 0.1, 0.1},
    {"Tech3341_3", {{{-36, 10}, {-23, 60}, {-36, 10}}}, Figure::Integrated, -23, 0.1, 0.1},
    {"Tech3341_4", {{{-72, 10}, {-36, 10}, {-23, 60}, {-36, 10}, {-72, 10}}}, Figure::Integrated, -23, 0.1, 0.1},
    {"Tech3341_5", {{{-26, 20}, {-20, 20.1}, {-26, 20}}}, Figure::Integrated, -23, 0.1, 0.1},
    // 5.0: L and R at -28, C at -24, the surrounds at -30 dBFS.
    {"Tech3341_6", {{{0, 20, {-28, -28, -24, -30, -30}}}, 5}, Figure::Integrated, -23, 0.1, 0.1},
    // Short-term: -20 dBFS for 1.34 s, -30 for 1.66 s, five times; any 3 s hold one of each.
    {"Tech3341_9",
     {{{-20, 1.34}, {-30, 1.66}, {-20, 1.34}, {-30, 1.66}, {-20, 1.34}, {-30, 1.66}, {-20, 1.34}, {-30, 1.66},
       {-20, 1.34}, {-30, 1.66}}},
     Figure::ShortTermMax, -23, 0.1, 0.1},
    // True peak: sines at a quarter, a sixth and an eighth of the rate, their
    // samples off the peaks by the phase.
    {"Tech3341_15", {{{-6.02, 10}}, 2, 12000, 0, 0.1}, Figure::TruePeak, -6, 0.2, 0.4},
    {"Tech3341_16", {{{-6.02, 10}}, 2, 12000, 45, 0.1}, Figure::TruePeak, -6, 0.2, 0.4},
    {"Tech3341_17", {{{-6.02, 10}}, 2, 8000, 60, 0.1}, Figure::TruePeak, -6, 0.2, 0.4},
    {"Tech3341_18", {{{-6.02, 10}}, 2, 6000, 67.5, 0.1}, Figure::TruePeak, -6, 0.2, 0.4},
    {"Tech3341_19", {{{3.01, 10}}, 2, 12000, 45, 0.1}, Figure::TruePeak, 3, 0.2, 0.4},
    {"Tech3342_1", {{{-20, 20}, {-30, 20}}}, Figure::Range, 10, 1, 1},
    {"Tech3342_2", {{{-20, 20}, {-15, 20}}}, Figure::Range, 5, 1, 1},
    {"Tech3342_3", {{{-40, 20}, {-20, 20}}}, Figure::Range, 20, 1, 1},
    {"Tech3342_4", {{{-50, 20}, {-35, 20}, {-20, 20}, {-35, 20}, {-50, 20}}}, Figure::Range, 15, 1, 1},
};

struct Output {
    const char* container;
    const char* codec;
    const char* extension;
    bool faststart;  // the rewrite carries the loudness box into the index it moves
};
const Output OUTPUTS[] = {{"mov", "pcm_s16le", "mov", false}, {"mp4", "aac", "mp4", true}};

class LoudnessTest : public RequestTest {
protected:
    // The clip's sound alone, every channel ticked, into `container`.
    std::unique_ptr<qelhost::StandinHost> sound_panel(const Output& o, int channels, const char* target = "None") {
        standin_set_max_audio_channels(channels);
        auto host = open_panel({{"klavformat", item_of(o.container).c_str()},
                                {"klavvideocodec", items::NO_VIDEO},
                                {"klavaudiocodec", item_of(o.container, o.codec, false).c_str()},
                                {"klavaudbitrate", "Maximum"},
                                {"klavloudness", target}});
        for (int n = 1; n <= channels; ++n) EXPECT_TRUE(host->change("ffaudioChan" + std::to_string(n), 1));
        EXPECT_TRUE(host->change("klavfaststart", o.faststart));
        return host;
    }
    bool render_signal(qelhost::StandinHost& host, const Signal& signal, const std::string& file) {
        int64_t frames = 0;
        qelhost::AudioClip sound = clip_of(signal, frames);
        qelhost::TestPatternClip clip({64, 48, 4, 25, frames, sound, {}});
        return qelhost::render(host, clip, to(file)).ok();
    }
};

json report_of(const std::string& movie) {
    std::ifstream in(movie.substr(0, movie.rfind('.')) + ".qc.json");
    return in ? json::parse(in, nullptr, false) : json();
}

// FFmpeg's own meter on the file's sound: its summary's figures.
std::map<std::string, double> ffmpeg_meter(const std::string& file) {
    const CommandResult r = run_command("ffmpeg -hide_banner -nostats -i '" + file +
                                        "' -map 0:a -af ebur128=peak=true -f null - 2>&1 | sed -n '/Summary:/,$p'");
    std::map<std::string, double> figures;
    std::smatch m;
    for (const auto& [key, pattern] : {std::pair<std::string, std::string>{"integrated", R"(I:\s+(-?[0-9.]+) LUFS)"},
                                       {"range", R"(LRA:\s+(-?[0-9.]+) LU)"},
                                       {"true_peak", R"(True peak:\s+Peak:\s+(-?[0-9.]+))"}})
        if (std::regex_search(r.out, m, std::regex(pattern))) figures[key] = std::stod(m[1]);
    return figures;
}

// The tlou box of the movie's sound track: {programme loudness, true peak}
// as its codes say them; nothing when there is none.
std::optional<std::pair<double, double>> loudness_box_of(const std::string& path) {
    const Bytes file = read_file(path);
    using Found = std::optional<boxes::ConstBox>;
    const std::function<Found(const uint8_t*, const uint8_t*, size_t)> find = [&](const uint8_t* begin,
                                                                                 const uint8_t* end, size_t depth) {
        static const uint32_t ROUTE[] = {boxes::fourcc("moov"), boxes::fourcc("trak"), boxes::fourcc("udta"),
                                         boxes::fourcc("ludt"), boxes::fourcc("tlou")};
        std::vector<boxes::ConstBox> children;
        boxes::read_boxes(begin, end, children);
        for (const boxes::ConstBox& box : children) {
            if (box.type != ROUTE[depth]) continue;
            if (depth + 1 == std::size(ROUTE)) return Found(box);
            if (const Found found = find(box.begin(), box.end(), depth + 1)) return found;
        }
        return Found();
    };
    const Found tlou = find(file.data(), file.data() + file.size(), 0);
    if (!tlou || tlou->size < 11 || tlou->size < 11 + 3 * size_t(tlou->body[10])) return std::nullopt;
    const uint8_t* body = tlou->body;
    const uint32_t peaks = uint32_t(body[6]) << 16 | uint32_t(body[7]) << 8 | body[8];
    double programme = NAN;
    for (size_t m = 0, at = 11; m < body[10]; ++m, at += 3)
        if (body[at] == 1) programme = -57.75 + body[at + 1] * 0.25;
    return std::make_pair(programme, 20 - (peaks & 0xFFF) / 32.0);
}

class Conformances : public LoudnessTest, public ::testing::WithParamInterface<std::tuple<Conformance, Output>> {};

TEST_P(Conformances, TheReportHoldsThePublishedFigureAndFFmpegsOwn) {
    const auto& [c, o] = GetParam();
    auto host = sound_panel(o, c.signal.channels);
    const std::string file = path(std::string(c.name) + "." + o.extension);
    ASSERT_TRUE(render_signal(*host, c.signal, file)) << testing::PrintToString(host->log().texts(LOG_ERROR));
    const json report = report_of(file);
    ASSERT_TRUE(report.is_object() && report["loudness"].is_object()) << "no report beside " << file;
    const json& loudness = report["loudness"];
    const double measured = loudness[key_of(c.figure)].get<double>();
    EXPECT_LE(measured, c.expected + c.above);
    EXPECT_GE(measured, c.expected - c.below);
    // FFmpeg measures what it decodes: loudness agrees after a codec that
    // can hold the sound (not AAC past full scale), the true peak only where
    // the samples are the encoder's own.
    const bool pcm = std::string(o.codec) == "pcm_s16le";
    const std::map<std::string, double> theirs = ffmpeg_meter(file);
    for (const char* figure : {"integrated", "range"}) {
        if (loudness[figure].is_number() && (pcm || loudness["true_peak"].get<double>() < 0)) {
            EXPECT_NEAR(loudness[figure].get<double>(), theirs.at(figure), 0.1) << figure;
        }
    }
    if (pcm) {
        EXPECT_NEAR(loudness["true_peak"].get<double>(), theirs.at("true_peak"), 0.15);
    }
    // The movie's own loudness box says the same, to its codes' steps and range (up to +6 LUFS).
    const auto box = loudness_box_of(file);
    ASSERT_TRUE(box) << "no tlou in " << file;
    EXPECT_EQ(index_in_front(file), o.faststart);
    if (loudness["integrated"].is_number()) {
        EXPECT_NEAR(box->first, std::min(loudness["integrated"].get<double>(), 6.0), 0.13);
    }
    EXPECT_NEAR(box->second, loudness["true_peak"].get<double>(), 0.02);
}

INSTANTIATE_TEST_SUITE_P(, Conformances, ::testing::Combine(::testing::ValuesIn(CASES), ::testing::ValuesIn(OUTPUTS)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).container;
                         });

// Targets: the sentence names the figure that missed and by how much.
struct TargetRow {
    const char* name;
    const char* target;
    Signal signal;
    const char* missed;  // the figure's words in the sentence; nullptr when it meets the target
    double margin;       // by how much
};
void PrintTo(const TargetRow& r, std::ostream* out) { *out << r.name; }
class Targets : public LoudnessTest, public ::testing::WithParamInterface<TargetRow> {};

TEST_P(Targets, AMissGetsOneSentenceNamingTheFigureAndTheMargin) {
    const TargetRow& r = GetParam();
    auto host = sound_panel(OUTPUTS[0], 2, r.target);
    const std::string file = path(std::string(r.name) + ".mov");
    ASSERT_TRUE(render_signal(*host, r.signal, file));
    EXPECT_TRUE(logged(host->log(), "QelFFmpegWriter: loudness of <" + file + ">: integrated ", LOG_INFO));
    const std::vector<std::string> warnings = host->log().texts(LOG_WARNING);
    if (!r.missed) {
        EXPECT_TRUE(warnings.empty()) << warnings.front();
        return;
    }
    ASSERT_EQ(warnings.size(), 1u) << testing::PrintToString(warnings);
    const std::string& sentence = warnings.front();
    EXPECT_EQ(sentence.rfind("QelFFmpegWriter: <" + file + "> misses " + r.target + ": ", 0), 0u) << sentence;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(sentence, m, std::regex(std::string(r.missed) + " -?[0-9.]+ [A-Za-z]+, ([0-9.]+) (LU|dB) (above|below)")))
        << sentence;
    EXPECT_NEAR(std::stod(m[1]), r.margin, 0.15) << sentence;
}

INSTANTIATE_TEST_SUITE_P(
    , Targets,
    ::testing::Values(
        TargetRow{"EbuMeets", "EBU R 128", {{{-23, 10}}}, nullptr, 0},
        TargetRow{"EbuTooLoud", "EBU R 128", {{{-20, 10}}}, "integrated loudness", 2.5},
        // A 3 ms burst near full scale: the loudness hardly moves, the peak passes -1 dBTP.
        TargetRow{"EbuPeak", "EBU R 128", {{{-23, 5}, {-0.5, 0.003}, {-23, 5}}}, "true peak", 0.5},
        // A loud three seconds in two minutes: the programme meets -23, the short form's -18 does not.
        TargetRow{"ShortFormBurst", "EBU R 128 s1 (short form)", {{{-23.5, 60}, {-17, 3}, {-23.5, 57}}},
                  "maximum short-term loudness", 1.0},
        TargetRow{"AtscTooQuiet", "ATSC A/85", {{{-27, 10}}}, "integrated loudness", 1.0},
        TargetRow{"Streaming14Meets", "Streaming \u221214 LUFS", {{{-14, 10}}}, nullptr, 0},
        TargetRow{"Streaming16TooLoud", "Streaming \u221216 LUFS", {{{-13, 10}}}, "integrated loudness", 2.0},
        TargetRow{"NoneJudgesNothing", "None", {{{-5, 10}}}, nullptr, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
