// The panel as the host sees it, driven only through the action entry: the
// controls created, the lists a change rebuilds, the controls that only apply
// to some choices, and a project restored.
#include "catalogue/catalogue.h"
#include "common/run.h"
#include "base/log.h"
#include "requests/request_fixture.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

using qelhost::Control;
using qelhost::ControlKind;

namespace {

using namespace items;

struct Expected {
    std::string identifier;  // empty for labels
    std::string label;
    std::string created;  // the creating call as the host recorded it
    float row, column, width;  // a width of 0: beneath the design's rows, anywhere free on its row
};

// The control table, channel toggles for `channels` host channels in place.
std::vector<Expected> control_table(int channels) {
    std::vector<Expected> table = {
        {"", "Container Format", "add_label(\"Container Format\")", 0, 0, 1},
        {"klavformat", "Format: %s", "add_choice(klavformat, \"...\", 0)", 1, 0, 2},
        {"", "Video encoder", "add_label(\"Video encoder\")", 2, 0, 1},
        {"klavvideocodec", "%s", "add_choice(klavvideocodec, \"...\", 0)", 3, 0, 1.4f},
        {"klavvidprofile", "Profile: %s", "add_choice(klavvidprofile, \"...\", 0)", 3, 1.4f, 0.6f},
        {"klavpixelfmt", "Pixel: %s", "add_choice(klavpixelfmt, \"...\", 0)", 3, 2.0f, 0.8f},
        {"klavquality", "Quality: %s", "add_choice(klavquality, \"Minimum,Low,Normal,High,Maximum\", 2)", 4, 0, 0.8f},
        {"klavfaststart", "F", "add_toggle(klavfaststart, off)", 4, 0.8f, 0.2f},
        {"klavkeyframes", "GOP", "add_number(klavkeyframes, 24)", 4, 1.0f, 0.4f},
        {"klavbitratemode", "Bitrate mode: %s", "add_choice(klavbitratemode, \"CBR,VBR\", 0)", 4, 1.4f, 0.8f},
        {"klavvidbitrate", "kBps", "add_number(klavvidbitrate, 0)", 4, 2.2f, 0.6f},
        {"", "Audio encoder", "add_label(\"Audio encoder\")", 0, 2.8f, 1},
        {"klavaudiocodec", "%s", "add_choice(klavaudiocodec, \"...\", 0)", 1, 2.8f, 2.2f},
        {"klavaudprofile", "Profile: %s", "add_choice(klavaudprofile, \"...\", 0)", 1, 5.0f, 1.0f},
    };
    for (int n = 1; n <= std::min(channels, 16); ++n) {
        const std::string id = "ffaudioChan" + std::to_string(n);
        table.push_back({id, std::to_string(n), "add_toggle(" + id + ", off)", 2, 2.8f + 0.2f * float(n - 1), 0.2f});
    }
    table.push_back({"klavstereo", "Stereo", "add_toggle(klavstereo, off)", 3, 2.8f, 0.5f});
    table.push_back({"klav16bit", "16 bit", "add_toggle(klav16bit, on, flag)", 3, 3.3f, 0.5f});
    const char* const rates = "add_choice(klavaudbitrate, \"64kbps,128kbps,164kbps,192kbps,256kbps,Maximum\", 3)";
    table.push_back({"klavaudbitrate", "Quality: %s", rates, 3, 3.8f, 0.8f});
    const char* const colours = "add_choice(klavcolour, \"Rec.709,Rec.2020,Rec.2100 PQ,Rec.2100 HLG\", 0)";
    table.push_back({"klavcolour", "Colour: %s", colours, 5, 0, 0});
    const char* const displays = "add_choice(klavmasterprimaries, \"Display P3,Rec.2020\", 0)";
    table.push_back({"klavmasterprimaries", "Mastering: %s", displays, 5, 0, 0});
    table.push_back({"klavmastermax", "Max cd/m2", "add_number(klavmastermax, 1000)", 5, 0, 0});
    const char* const minimums = "add_choice(klavmastermin, \"0.0001,0.0005,0.001,0.005,0.01,0.05,0.1\", 3)";
    table.push_back({"klavmastermin", "Min cd/m2: %s", minimums, 5, 0, 0});
    table.push_back({"klavmaxcll", "MaxCLL", "add_number(klavmaxcll, 1000)", 5, 0, 0});
    table.push_back({"klavmaxfall", "MaxFALL", "add_number(klavmaxfall, 400)", 5, 0, 0});
    table.push_back({"klavsegment", "Farm segment", "add_toggle(klavsegment, off)", 6, 0, 0});
    const char* const targets = "add_choice(klavloudness, \"None,EBU R 128,EBU R 128 s1 (short form),ATSC A/85,"
                                "Streaming \u221214 LUFS,Streaming \u221216 LUFS\", 0)";
    table.push_back({"klavloudness", "Loudness: %s", targets, 6, 0, 0});
    return table;
}

}  // namespace

class Panel : public RequestTest {
protected:
    void TearDown() override {
        standin_clear_translations();
        RequestTest::TearDown();
    }

    static const Control& control(qelhost::StandinHost& host, const char* id) {
        const Control* c = host.controls().find(id);
        EXPECT_NE(c, nullptr) << id;
        static const Control none;
        return c ? *c : none;
    }
};

// With two host channels the labels are translated, but not the channel
// numbers nor the bare "%s" of a choice.
TEST_F(Panel, ControlsAreCreatedAsTheTableSaysWithAToggleForEachHostChannelUpToSixteen) {
    for (const int hostChannels : {2, 20, 0}) {
        SCOPED_TRACE(hostChannels);
        const std::map<std::string, std::string> translated = {{"Stereo", "Stéréo"}, {"F", "R"}};
        if (hostChannels == 2) {
            standin_set_translation(nullptr, "Stereo", "Stéréo");
            standin_set_translation("Faststart", "F", "R");
            for (const char* other : {"F", "%s", "1"}) standin_set_translation(nullptr, other, "wrong");
        }
        standin_set_max_audio_channels(hostChannels);
        auto host = make_host();
        ASSERT_TRUE(host->init());
        standin_clear_translations();

        const std::vector<Expected> table = control_table(hostChannels);
        const std::vector<Control>& controls = host->controls().all();
        std::vector<std::string> created;
        for (const std::string& call : host->controls().calls())
            if (call.rfind("add_", 0) == 0) created.push_back(call);
        ASSERT_TRUE(controls.size() == table.size() && created.size() == table.size()) << controls.size();
        auto near = [](float a, float b) { return std::fabs(a - b) < 1e-5f; };
        for (size_t i = 0; i < table.size(); ++i) {
            const Expected& want = table[i];
            const auto& at = controls[i].placement;
            const auto label = translated.find(want.label);
            const std::string wantLabel = hostChannels == 2 && label != translated.end() ? label->second : want.label;
            EXPECT_EQ(std::tie(controls[i].identifier, controls[i].label, created[i]),
                      std::tie(want.identifier, wantLabel, want.created));
            const bool where = !want.width || (near(at.column, want.column) && near(at.width, want.width));
            EXPECT_TRUE(at.placed && near(at.row, want.row) && where && at.height == 1)
                << want.created << " at " << at.row << "," << at.column << " width " << at.width;
        }
        // On the host's grid of six columns no control covers another.
        for (size_t i = 0; i < controls.size(); ++i) {
            const auto& a = controls[i].placement;
            EXPECT_TRUE(a.width > 0 && a.column >= 0 && a.column + a.width <= 6 + 1e-5f) << table[i].created;
            for (size_t j = 0; j < i; ++j) {
                const auto& b = controls[j].placement;
                const bool apart = !near(a.row, b.row) || a.column + a.width <= b.column + 1e-5f ||
                                   b.column + b.width <= a.column + 1e-5f;
                EXPECT_TRUE(apart) << table[i].created << " covers " << table[j].created;
            }
        }
        EXPECT_TRUE(host->faults().empty());
    }
}

// One walk: each row is a change of the user's (or none) and one control's state
// after it. A container change rebuilds the lists and puts each control on its default;
// faststart applies to mov and mp4, the bit-rate mode to a bit rate, quality to x264.
TEST_F(Panel, ChangesRebuildTheListsAndEnableOnlyWhatApplies) {
    struct Step {
        const char* id;    // the control changed; nullptr: none
        const char* item;  // the item chosen; nullptr: `number` is set
        double number;
        const char* check;
        int enabled;                    // -1: any
        const char* chosen = nullptr;   // the checked control's item; nullptr: any
        int value = -1, fixed = -1;     // -1: any
    };
    constexpr const char* AAC = "AAC (Advanced Audio Coding)";
    const Step steps[] = {
        {nullptr, nullptr, 0, "klavfaststart", 0},  // AMV is the first container
        {nullptr, nullptr, 0, "klavmaxcll", 0},     // the mastering values apply to PQ only
        {nullptr, nullptr, 0, "klavpixelfmt", 1, nullptr, -1, 1},  // its one format is shown fixed
        // Several H.264 encoders are the container's default; the first is the one that opens anywhere.
        {"klavformat", MOV, 0, "klavvideocodec", 1, X264},
        {nullptr, nullptr, 0, "klavvidprofile", 1, "High"},
        {nullptr, nullptr, 0, "klavpixelfmt", 1, nullptr, 0, 0},  // libx264 offers several formats
        {nullptr, nullptr, 0, "klavaudiocodec", 1, AAC},
        {nullptr, nullptr, 0, "klavfaststart", 1},
        {"klavfaststart", nullptr, 1, "klavfaststart", 1, nullptr, 1},
        {"klavvideocodec", X264_RGB, 0, "klavquality", 1},
        {"klavvideocodec", MPEG4, 0, "klavquality", 0},
        {"klavaudiocodec", PCM16, 0, "klavaudiocodec", 1, PCM16},
        // Away from every default, then another container.
        {"klavformat", AVI, 0, "klavvideocodec", 1, MPEG4},  // avi's default codec
        {nullptr, nullptr, 0, "klavvidprofile", 0, "-"},
        {nullptr, nullptr, 0, "klavpixelfmt", -1, nullptr, 0},
        {nullptr, nullptr, 0, "klavaudiocodec", 1, "libmp3lame MP3 (MPEG audio layer 3)"},
        {nullptr, nullptr, 0, "klavfaststart", 0, nullptr, 0},
        {"klavformat", MP4, 0, "klavvideocodec", 1, X264},
        {nullptr, nullptr, 0, "klavvidprofile", 1, "High"},
        {nullptr, nullptr, 0, "klavfaststart", 1, nullptr, 0},  // enabled again, still off
        {"klavvidbitrate", nullptr, 1, "klavbitratemode", 1},
        {"klavvidbitrate", nullptr, 0, "klavbitratemode", 0},
        // No video empties its lists and shows them fixed.
        {"klavvideocodec", NO_VIDEO, 0, "klavquality", 0},
        {nullptr, nullptr, 0, "klavvidprofile", 0, "-"},
        {nullptr, nullptr, 0, "klavpixelfmt", 0, "-", -1, 1},
        {"klavcolour", "Rec.2100 PQ", 0, "klavmasterprimaries", 1},
        {nullptr, nullptr, 0, "klavmastermin", 1, "0.005"},
        {"klavcolour", "Rec.2100 HLG", 0, "klavmaxfall", 0},
        {"klavcolour", "Rec.2020", 0, "klavmastermax", 0},
    };
    auto host = open_panel({});
    for (const Step& step : steps) {
        SCOPED_TRACE(std::string(step.id ? step.id : "") + " " + (step.item ? step.item : std::to_string(step.number)) +
                     ": " + step.check);
        if (step.id) {
            ASSERT_TRUE(step.item ? host->choose(step.id, step.item) : host->change(step.id, step.number));
        }
        const Control& c = control(*host, step.check);
        EXPECT_TRUE(step.enabled < 0 || c.enabled == (step.enabled == 1)) << "enabled: " << c.enabled;
        EXPECT_TRUE(!step.chosen || c.chosen() == step.chosen) << c.chosen();
        EXPECT_TRUE(!step.chosen || std::string(step.chosen) != "-" || c.choices.size() == 1) << c.choices.size();
        EXPECT_TRUE(step.value < 0 || c.value == step.value) << "value: " << c.value;
        EXPECT_TRUE(step.fixed < 0 || c.fixed == (step.fixed == 1)) << "fixed: " << c.fixed;
    }
    EXPECT_TRUE(host->faults().empty());
}

TEST_F(Panel, StoredIndicesAndListsSurviveRestore) {
    std::map<std::string, double> project;
    std::map<std::string, std::vector<std::string>> lists;
    {
        auto host = open_panel({{"klavformat", MOV}, {"klavvideocodec", MPEG4}, {"klavaudiocodec", PCM16}});
        for (const auto& [id, value] : {std::pair{"ffaudioChan1", 1}, {"ffaudioChan2", 1}, {"klavstereo", 1},
                                        {"klavkeyframes", 7}, {"klavaudbitrate", 5}})
            ASSERT_TRUE(host->change(id, value)) << id;
        for (const Control& c : host->controls().all()) {
            if (!c.identifier.empty()) project[c.identifier] = c.value;
            if (c.kind == ControlKind::Choice) lists[c.identifier] = c.choices;
        }
    }

    // A host opening the project: new instance, stored values, then RESTORE.
    auto host = make_host();
    ASSERT_TRUE(host->init());
    for (const auto& [id, value] : project) ASSERT_TRUE(host->controls().set_value(id, value)) << id;
    ASSERT_TRUE(host->restore());
    for (const Control& c : host->controls().all()) {
        EXPECT_TRUE(c.identifier.empty() || c.value == project[c.identifier]) << c.identifier << ": " << c.value;
        EXPECT_TRUE(c.kind != ControlKind::Choice || c.choices == lists[c.identifier]) << c.identifier;
    }
    EXPECT_FALSE(control(*host, "klavquality").enabled) << "states applied for the restored choices";

    // A second RESTORE leaves everything where it is.
    host->controls().clear_calls();
    ASSERT_TRUE(host->restore());
    EXPECT_TRUE(host->controls().calls().empty());

    // An index past the list (a project from a machine with more encoders) leaves empty lists.
    auto other = make_host();
    ASSERT_TRUE(other->init());
    ASSERT_TRUE(other->controls().set_value("klavvideocodec", 9999));
    ASSERT_TRUE(other->restore());
    for (const char* id : {"klavvidprofile", "klavpixelfmt"})
        EXPECT_EQ(control(*other, id).choices, std::vector<std::string>{"-"}) << id;
}

struct Agreement {
    const char* encoder;                // item text
    std::vector<const char*> profiles;  // chosen in this order
    const char* pixel;                  // where the pixel control ends
    const char* filePixels;             // the start of the file's pix_fmt, or null: not rendered
    const char* pixelChoice = nullptr;  // chosen after the profiles
    const char* profile = nullptr;      // where the profile control ends then
    const char* colour = nullptr;       // chosen last
};
void PrintTo(const Agreement& c, std::ostream* os) { *os << c.encoder << " " << c.profiles.back(); }
class ProfileAndPixels : public Panel, public ::testing::WithParamInterface<Agreement> {};

// A profile that cannot carry the pixels moves the pixel control, pixels a
// profile cannot carry move the profile control, and the file holds the
// pixels its profile says.
TEST_P(ProfileAndPixels, MoveTogether) {
    const Agreement& c = GetParam();
    auto host = open_panel({{"klavformat", MOV}, {"klavvideocodec", c.encoder}});
    for (const char* profile : c.profiles) ASSERT_TRUE(host->choose("klavvidprofile", profile)) << profile;
    if (c.pixelChoice) { ASSERT_TRUE(host->choose("klavpixelfmt", c.pixelChoice)); }
    if (c.colour) { ASSERT_TRUE(host->choose("klavcolour", c.colour)); }
    EXPECT_EQ(control(*host, "klavpixelfmt").chosen(), c.pixel);
    if (c.profile) { EXPECT_EQ(control(*host, "klavvidprofile").chosen(), c.profile); }
    if (!c.filePixels) return;
    const std::string file = path(std::string("agreed_") + c.profiles.back() + ".mov");
    qelhost::TestPatternClip clip({256, 144, 4, 25, 2, std::nullopt, {}});  // DNxHR codes no less
    ASSERT_TRUE(qelhost::render(*host, clip, to(file)).ok());
    const CommandResult probed = probe_streams("-select_streams v:0 -show_entries stream=pix_fmt '" + file + "'");
    EXPECT_EQ(probed.out.rfind(c.filePixels, 0), 0u) << probed.out;
}

INSTANTIATE_TEST_SUITE_P(, ProfileAndPixels, ::testing::ValuesIn(std::vector<Agreement>{
        {"Apple ProRes (Ulvard)", {"4444"}, "yuva444p10le", "yuva444p"},
        {"Apple ProRes (Ulvard)", {"4444", "HQ"}, "yuv422p10le", "yuv422p"},
        {"Apple ProRes (Tesmer)", {"XQ"}, "yuva444p10le", nullptr},
        {"VC3/DNxHD", {"DNXHR 444"}, "yuv444p10le", nullptr},
        {"VC3/DNxHD", {"DNXHR HQX"}, "yuv422p10le", "yuv422p10"},
        // Down from 4:4:4 to the nearest profile below, not the least.
        {"Apple ProRes (Ulvard)", {"XQ"}, "yuv422p10le", nullptr, "yuv422p10le", "HQ"},
        {"VC3/DNxHD", {"DNXHR 444"}, "yuv422p10le", nullptr, "yuv422p10le", "DNXHR HQX"},
        {X264, {"Main"}, "yuv420p10le", nullptr, "yuv420p10le", "High10"},
        {X264, {"High10"}, "yuv444p", nullptr, "yuv444p", "High444"},
        // A profile that carries them stays.
        {X264, {"High444"}, "yuv420p", nullptr, "yuv420p", "High444"},
        {X264, {"High444", "Baseline"}, "yuv420p", nullptr},
        // PQ and HLG take 8 bits to 10 of the same layout, and the profile follows.
        {X264, {"High"}, "yuv420p10le", "yuv420p10", nullptr, "High10", "Rec.2100 PQ"},
        {X264, {"High422"}, "yuv422p10le", nullptr, "yuv422p", "High422", "Rec.2100 HLG"},
        {"VC3/DNxHD", {"DNXHR HQ"}, "yuv422p10le", nullptr, nullptr, "DNXHR HQX", "Rec.2100 PQ"},
        {"Apple ProRes (Ulvard)", {"HQ"}, "yuv422p10le", nullptr, nullptr, "HQ", "Rec.2100 PQ"},
        {X264, {"High"}, "yuv420p", nullptr, nullptr, "High", "Rec.2020"},
}), [](const ::testing::TestParamInfo<Agreement>& info) {
    const Agreement& c = info.param;
    std::string name = c.encoder;
    for (const char* part : c.profiles) name += std::string("_") + part;
    for (const char* part : {c.pixelChoice, c.colour}) name += part ? std::string("_") + part : "";
    std::string readable;
    for (const char ch : name)
        if (std::isalnum(static_cast<unsigned char>(ch))) readable += ch;
        else if (!readable.empty() && readable.back() != '_') readable += '_';
    return readable;
});

// What cannot work here keeps its place in the list, says so, and one line
// tells a user who picks it anyway.
TEST_F(Panel, ItemsThatCannotWorkHereAreMarkedInPlace) {
    const struct {
        const char* container;
        const char* control;
        const char* item;
        const char* mark;  // what the label gains; none: it works here
        const char* colour = nullptr;  // chosen first
    } cases[] = {
        {MOV, "klavvideocodec", "libvpx VP9 (not in this container)", " (not in this container)"},
        {MOV, "klavaudiocodec", "Opus (not in this container)", " (not in this container)"},
        // No machine of these tests has the device the encoder needs.
        {MOV, "klavvideocodec", "NVIDIA NVENC H.264 encoder (not available here)", " (not available here)"},
        {MP4, "klavvideocodec", "libvpx VP9", nullptr},
        {MOV, "klavvideocodec", X264, nullptr},
        // PQ and HLG need 10 bits, which MPEG-4 part 2 never codes; libx264 does.
        {MOV, "klavvideocodec", "MPEG-4 part 2 (8 bits: not for PQ/HLG)", " (8 bits: not for PQ/HLG)", "Rec.2100 HLG"},
        {MOV, "klavvideocodec", X264, nullptr, "Rec.2100 PQ"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.container) + " " + c.item);
        auto host = open_panel({{"klavformat", c.container}});
        if (c.colour) { ASSERT_TRUE(host->choose("klavcolour", c.colour)); }
        const bool video = std::string(c.control) == "klavvideocodec";
        const std::vector<std::string>& items = control(*host, c.control).choices;
        const size_t at = size_t(std::find(items.begin(), items.end(), c.item) - items.begin());
        // Indices are those of the list without marks.
        EncoderList plain;
        add_encoders(0, plain, video, !video, false);
        add_container_encoders(*find_muxer(std::string(c.container) == MOV ? "mov" : "mp4"), plain, video);
        ASSERT_LT(at, std::min(items.size(), plain.size()));
        EXPECT_EQ(c.item, std::string(plain[at].label) + (c.mark ? c.mark : ""));
        host->log().clear();
        ASSERT_TRUE(host->choose(c.control, c.item));
        EXPECT_EQ(host->log().texts(LOG_WARNING).size(), c.mark ? 1u : 0u);
        EXPECT_TRUE(!c.mark || logged(host->log(), "will not work here", LOG_WARNING));
    }
}
