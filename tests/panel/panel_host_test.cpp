// The panel as the host sees it, driven only through the action entry: the
// controls created, the lists a change rebuilds, the controls that only apply
// to some choices, and a project restored.
#include "catalogue/catalogue.h"
#include "common/run.h"
#include "host/harness/panel_view.h"
#include "base/log.h"
#include "requests/request_fixture.h"

#include <algorithm>
#include <optional>
#include <ostream>
#include <map>
#include <string>
#include <tuple>
#include <vector>

using qelhost::Control;
using qelhost::ControlKind;

namespace {

using namespace items;

struct Expected {
    std::string identifier;  // empty for labels
    ControlKind kind;
    std::string label;
    std::string created;  // the creating call as the host recorded it
    float row, column, width;
};

// The control table, channel toggles for `channels` host channels in place.
std::vector<Expected> control_table(int channels) {
    using K = ControlKind;
    std::vector<Expected> table = {
        {"", K::Label, "Container Format", "add_label(\"Container Format\")", 0, 0, 1},
        {"klavformat", K::Choice, "Format: %s", "add_choice(klavformat, \"...\", 0)", 1, 0, 2},
        {"", K::Label, "Video encoder", "add_label(\"Video encoder\")", 2, 0, 1},
        {"klavvideocodec", K::Choice, "%s", "add_choice(klavvideocodec, \"...\", 0)", 3, 0, 1.4f},
        {"klavvidprofile", K::Choice, "Profile: %s", "add_choice(klavvidprofile, \"...\", 0)", 3, 1.4f, 0.6f},
        {"klavpixelfmt", K::Choice, "Pixel: %s", "add_choice(klavpixelfmt, \"...\", 0)", 3, 2.0f, 0.8f},
        {"klavquality", K::Choice, "Quality: %s", "add_choice(klavquality, \"Minimum,Low,Normal,High,Maximum\", 2)", 4, 0, 0.8f},
        {"klavfaststart", K::Toggle, "F", "add_toggle(klavfaststart, off)", 4, 0.8f, 0.2f},
        {"klavkeyframes", K::Number, "GOP", "add_number(klavkeyframes, 24)", 4, 1.0f, 0.4f},
        {"klavbitratemode", K::Choice, "Bitrate mode: %s", "add_choice(klavbitratemode, \"CBR,VBR\", 0)", 4, 1.4f, 0.8f},
        {"klavvidbitrate", K::Number, "kBps", "add_number(klavvidbitrate, 0)", 4, 2.2f, 0.6f},
        {"", K::Label, "Audio encoder", "add_label(\"Audio encoder\")", 0, 2.8f, 1},
        {"klavaudiocodec", K::Choice, "%s", "add_choice(klavaudiocodec, \"...\", 0)", 1, 2.8f, 2.2f},
        {"klavaudprofile", K::Choice, "Profile: %s", "add_choice(klavaudprofile, \"...\", 0)", 1, 5.0f, 1.0f},
    };
    for (int n = 1; n <= std::min(channels, 16); ++n) {
        const std::string id = "ffaudioChan" + std::to_string(n);
        table.push_back({id, K::Toggle, std::to_string(n), "add_toggle(" + id + ", off)", 2, 2.8f + 0.2f * float(n - 1), 0.2f});
    }
    table.push_back({"klavstereo", K::Toggle, "Stereo", "add_toggle(klavstereo, off)", 3, 2.8f, 0.5f});
    table.push_back({"klav16bit", K::Toggle, "16 bit", "add_toggle(klav16bit, on, flag)", 3, 3.3f, 0.5f});
    const char* const rates = "add_choice(klavaudbitrate, \"64kbps,128kbps,164kbps,192kbps,256kbps,Maximum\", 3)";
    table.push_back({"klavaudbitrate", K::Choice, "Quality: %s", rates, 3, 3.8f, 0.8f});
    return table;
}

// The creating calls in the host's record, in order.
std::vector<std::string> creating_calls(const qelhost::ControlSet& controls) {
    std::vector<std::string> calls;
    for (const std::string& call : controls.calls())
        if (call.rfind("add_", 0) == 0) calls.push_back(call);
    return calls;
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

TEST_F(Panel, ControlsAreCreatedAsTheTableSaysWithAToggleForEachHostChannelUpToSixteen) {
    for (const int hostChannels : {2, 20, 0}) {
        SCOPED_TRACE(hostChannels);
        standin_set_max_audio_channels(hostChannels);
        auto host = make_host();
        ASSERT_TRUE(host->init());

        const std::vector<Expected> table = control_table(hostChannels);
        const std::vector<Control>& controls = host->controls().all();
        ASSERT_EQ(controls.size(), table.size());
        const std::vector<std::string> created = creating_calls(host->controls());
        ASSERT_EQ(created.size(), table.size());
        for (size_t i = 0; i < table.size(); ++i) {
            const Expected& want = table[i];
            const Control& got = controls[i];
            SCOPED_TRACE(want.created);
            EXPECT_EQ(std::tie(got.identifier, got.kind, got.label, created[i]),
                      std::tie(want.identifier, want.kind, want.label, want.created));
            ASSERT_TRUE(got.placement.placed);
            EXPECT_FLOAT_EQ(got.placement.row, want.row);
            EXPECT_FLOAT_EQ(got.placement.column, want.column);
            EXPECT_FLOAT_EQ(got.placement.width, want.width);
            EXPECT_FLOAT_EQ(got.placement.height, 1);
        }

        for (const auto& [id, maximum] : {std::pair{"klavkeyframes", 50}, std::pair{"klavvidbitrate", 268435}}) {
            const Control& number = control(*host, id);
            EXPECT_EQ(std::tuple(number.minimum, number.maximum, number.increment, number.flag),
                      std::tuple(0.0, double(maximum), 1.0, false)) << id;
        }
        EXPECT_TRUE(host->faults().empty());
    }
}

TEST_F(Panel, LabelsAreTranslatedButNotTheChannelNumbersOrTheBareChoiceLabels) {
    standin_set_max_audio_channels(2);
    standin_set_translation(nullptr, "Container Format", "Conteneur");
    standin_set_translation(nullptr, "Stereo", "Stéréo");
    standin_set_translation("Faststart", "F", "R");
    standin_set_translation(nullptr, "F", "wrong context");
    standin_set_translation(nullptr, "%s", "wrong");
    standin_set_translation(nullptr, "1", "wrong");
    auto host = make_host();
    ASSERT_TRUE(host->init());
    EXPECT_EQ(host->controls().all().front().label, "Conteneur");
    EXPECT_EQ(control(*host, "klavstereo").label, "Stéréo");
    EXPECT_EQ(control(*host, "klavfaststart").label, "R");
    EXPECT_EQ(control(*host, "klavvideocodec").label, "%s");
    EXPECT_EQ(control(*host, "ffaudioChan1").label, "1");
}

TEST_F(Panel, AContainerChangeRebuildsTheListsAndPutsEachControlOnItsDefault) {
    auto host = open_panel({});
    ASSERT_TRUE(host->choose("klavformat", MOV));
    // Several H.264 encoders are the container's default; the first is the one that opens anywhere.
    EXPECT_EQ(control(*host, "klavvideocodec").chosen(), X264);
    EXPECT_EQ(control(*host, "klavvidprofile").chosen(), "High");
    EXPECT_EQ(control(*host, "klavpixelfmt").int_value(), 0);
    EXPECT_TRUE(control(*host, "klavpixelfmt").selectable) << "libx264 offers several formats";
    EXPECT_EQ(control(*host, "klavaudiocodec").chosen(), "AAC (Advanced Audio Coding)");
    EXPECT_EQ(control(*host, "klavaudprofile").chosen(), "AAC-Low");
    const std::vector<std::string> movEncoders = control(*host, "klavvideocodec").choices;

    // Move away from every default, then change the container.
    ASSERT_TRUE(host->choose("klavvideocodec", MPEG4));
    ASSERT_TRUE(host->choose("klavaudiocodec", PCM16));
    ASSERT_TRUE(host->choose("klavformat", AVI));
    EXPECT_NE(control(*host, "klavvideocodec").choices, movEncoders);
    EXPECT_EQ(control(*host, "klavvideocodec").chosen(), MPEG4) << "avi's default codec";
    EXPECT_EQ(control(*host, "klavvidprofile").choices, std::vector<std::string>{"-"});
    EXPECT_FALSE(control(*host, "klavvidprofile").enabled);
    EXPECT_EQ(control(*host, "klavpixelfmt").int_value(), 0);
    EXPECT_EQ(control(*host, "klavaudiocodec").chosen(), "libmp3lame MP3 (MPEG audio layer 3)");

    ASSERT_TRUE(host->choose("klavvidprofile", "-"));
    ASSERT_TRUE(host->choose("klavformat", MP4));
    EXPECT_EQ(control(*host, "klavvideocodec").chosen(), X264);
    EXPECT_EQ(control(*host, "klavvidprofile").chosen(), "High");
    EXPECT_TRUE(control(*host, "klavvidprofile").enabled);
    EXPECT_EQ(control(*host, "klavaudiocodec").chosen(), "AAC (Advanced Audio Coding)");
    EXPECT_TRUE(host->faults().empty());
}

// Controls that apply only to some choices: faststart to mov and mp4 (and
// off when it cannot apply), the bit-rate mode to a bit rate, quality to
// the x264 encoders. Each row is one change of the user's and its result.
TEST_F(Panel, ControlsAreEnabledOnlyWhereTheyApply) {
    struct Step {
        const char* id;    // the control changed; nullptr: none
        const char* item;  // the item chosen; nullptr: `number` is set
        double number;
        const char* check;
        bool enabled;
        int value = -1;  // the checked control's value; -1: any
    };
    const Step steps[] = {
        {nullptr, nullptr, 0, "klavfaststart", false},  // AMV is the first container
        {"klavformat", MOV, 0, "klavfaststart", true},
        {"klavfaststart", nullptr, 1, "klavfaststart", true, 1},
        {"klavformat", AVI, 0, "klavfaststart", false, 0},
        {"klavformat", MP4, 0, "klavfaststart", true, 0},  // enabled again, still off
        {nullptr, nullptr, 0, "klavbitratemode", false},
        {"klavvidbitrate", nullptr, 1, "klavbitratemode", true},
        {"klavvidbitrate", nullptr, 268435, "klavbitratemode", true},
        {"klavvidbitrate", nullptr, 0, "klavbitratemode", false},
        {"klavformat", MOV, 0, "klavquality", true},
        {"klavvideocodec", X264_RGB, 0, "klavquality", true},
        {"klavvideocodec", MPEG4, 0, "klavquality", false},
        {"klavvideocodec", NO_VIDEO, 0, "klavquality", false},
    };
    auto host = open_panel({});
    for (const Step& step : steps) {
        SCOPED_TRACE(std::string(step.id ? step.id : "") + " " + (step.item ? step.item : std::to_string(step.number)));
        if (step.id) {
            ASSERT_TRUE(step.item ? host->choose(step.id, step.item) : host->change(step.id, step.number));
        }
        EXPECT_EQ(control(*host, step.check).enabled, step.enabled) << step.check;
        if (step.value >= 0) {
            EXPECT_EQ(control(*host, step.check).value, step.value) << step.check;
        }
    }
    // No video empties its lists; a single format is shown fixed, not selectable.
    for (const char* id : {"klavvidprofile", "klavpixelfmt"}) {
        EXPECT_EQ(control(*host, id).choices, std::vector<std::string>{"-"}) << id;
        EXPECT_FALSE(control(*host, id).enabled) << id;
    }
    EXPECT_TRUE(control(*host, "klavpixelfmt").fixed);
    ASSERT_TRUE(host->choose("klavformat", "AMV"));
    EXPECT_EQ(control(*host, "klavpixelfmt").choices.size(), 1u);
    EXPECT_TRUE(control(*host, "klavpixelfmt").enabled);
    EXPECT_TRUE(control(*host, "klavpixelfmt").fixed);
}

TEST_F(Panel, StoredIndicesSurviveRestoreAndTheRenderUsesThem) {
    standin_set_max_audio_channels(2);
    std::map<std::string, double> project;
    std::map<std::string, std::vector<std::string>> lists;
    {
        auto host = open_panel({});
        ASSERT_TRUE(host->choose("klavformat", MOV));
        ASSERT_TRUE(host->choose("klavvideocodec", MPEG4));
        ASSERT_TRUE(host->choose("klavaudiocodec", PCM16));
        for (const char* id : {"ffaudioChan1", "ffaudioChan2", "klavstereo"}) ASSERT_TRUE(host->change(id, 1));
        ASSERT_TRUE(host->change("klavkeyframes", 7));
        ASSERT_TRUE(host->change("klavaudbitrate", 5));
        for (const Control& c : host->controls().all()) {
            if (c.identifier.empty()) continue;
            project[c.identifier] = c.value;
            if (c.kind == ControlKind::Choice) lists[c.identifier] = c.choices;
        }
    }

    // A host opening the project: new instance, stored values, then RESTORE.
    auto host = make_host();
    ASSERT_TRUE(host->init());
    for (const auto& [id, value] : project) ASSERT_TRUE(host->controls().set_value(id, value)) << id;
    host->controls().clear_calls();
    ASSERT_TRUE(host->restore());
    // Only an empty list ("-") is put on its one item.
    for (const std::string& call : host->controls().calls()) {
        if (call.rfind("set_int(", 0) != 0 && call.rfind("set_bool(", 0) != 0) continue;
        const std::string id = call.substr(call.find('(') + 1, call.find(',') - call.find('(') - 1);
        EXPECT_EQ(control(*host, id.c_str()).choices, std::vector<std::string>{"-"}) << "moved a control: " << call;
    }
    for (const Control& c : host->controls().all()) {
        if (c.identifier.empty()) continue;
        EXPECT_EQ(c.value, project[c.identifier]) << c.identifier;
        if (c.kind == ControlKind::Choice) {
            EXPECT_EQ(c.choices, lists[c.identifier]) << c.identifier;
        }
    }
    EXPECT_EQ(control(*host, "klavvideocodec").chosen(), MPEG4);
    EXPECT_FALSE(control(*host, "klavquality").enabled) << "states applied for the restored choices";

    // A second RESTORE leaves everything where it is.
    host->controls().clear_calls();
    ASSERT_TRUE(host->restore());
    EXPECT_TRUE(host->controls().calls().empty());

    const std::string file = path("restored.mov");
    qelhost::TestPatternClip clip({32, 24, 4, 25, 2, qelhost::AudioClip::tone(), {}});
    ASSERT_TRUE(qelhost::render(*host, clip, to(file)).ok());
    const probe::File written = probe::read(file);
    ASSERT_EQ(written.count(AVMEDIA_TYPE_VIDEO), 1);
    ASSERT_EQ(written.count(AVMEDIA_TYPE_AUDIO), 1);
    EXPECT_EQ(written.first(AVMEDIA_TYPE_VIDEO)->codec, "mpeg4");
    EXPECT_EQ(written.first(AVMEDIA_TYPE_AUDIO)->codec, "pcm_s16le");
}

namespace {

struct ProfilePixelCase {
    const char* name;
    const char* encoder;                // item text
    std::vector<const char*> profiles;  // chosen in this order
    const char* pixel;                  // where the pixel control ends
    const char* filePixels;             // the start of the file's pix_fmt, or null: not rendered
};

void PrintTo(const ProfilePixelCase& c, std::ostream* os) { *os << c.name; }

class ProfilePixels : public Panel, public ::testing::WithParamInterface<ProfilePixelCase> {};

}  // namespace

// A profile that fixes the chroma layout moves the pixel control with it, and
// the file holds the pixels its profile says.
TEST_P(ProfilePixels, AProfileChoiceTakesThePixelFormatAlong) {
    const ProfilePixelCase& c = GetParam();
    auto host = open_panel({{"klavformat", MOV}, {"klavvideocodec", c.encoder}});
    for (const char* profile : c.profiles) ASSERT_TRUE(host->choose("klavvidprofile", profile)) << profile;
    EXPECT_EQ(control(*host, "klavpixelfmt").chosen(), c.pixel);
    if (!c.filePixels) return;
    const std::string file = path("agreed.mov");
    qelhost::TestPatternClip clip({64, 48, 4, 25, 2, std::nullopt, {}});
    ASSERT_TRUE(qelhost::render(*host, clip, to(file)).ok());
    const CommandResult probed = probe_streams("-select_streams v:0 -show_entries stream=pix_fmt '" + file + "'");
    EXPECT_EQ(probed.out.rfind(c.filePixels, 0), 0u) << probed.out;
}

INSTANTIATE_TEST_SUITE_P(
    , ProfilePixels,
    ::testing::Values(
        ProfilePixelCase{"prores_ks_4444", "Apple ProRes (Ulvard)", {"4444"}, "yuva444p10le", "yuva444p"},
        ProfilePixelCase{"prores_ks_back_to_hq", "Apple ProRes (Ulvard)", {"4444", "HQ"}, "yuv422p10le", "yuv422p"},
        ProfilePixelCase{"prores_aw_xq", "Apple ProRes (Tesmer)", {"XQ"}, "yuva444p10le", nullptr},
        ProfilePixelCase{"dnxhr_444", "VC3/DNxHD", {"DNXHR 444"}, "yuv444p10le", nullptr},
        ProfilePixelCase{"dnxhr_hqx_stays", "VC3/DNxHD", {"DNXHR HQX"}, "yuv422p", nullptr}),
    [](const ::testing::TestParamInfo<ProfilePixelCase>& info) { return std::string(info.param.name); });

TEST_F(Panel, ARestoredMismatchedProfileIsRefusedAtOpen) {
    auto host = open_panel({{"klavformat", MOV}, {"klavvideocodec", "Apple ProRes (Ulvard)"}, {"klavvidprofile", "4444"}});
    // As a project stored before profiles moved the pixels: the first format.
    ASSERT_TRUE(host->controls().set_value("klavpixelfmt", 0));
    qelhost::TestPatternClip clip({64, 48, 4, 25, 1, std::nullopt, {}});
    EXPECT_FALSE(qelhost::render(*host, clip, to(path("mismatched.mov"))).ok());
    EXPECT_TRUE(logged(host->log(),
                       "QelFFmpegWriter: the prores_ks profile 4444 needs a 4:4:4 pixel format, not yuv422p10le"));
}

// What cannot work here keeps its place in the list, says so, and one line
// tells a user who picks it anyway.
TEST_F(Panel, ItemsThatCannotWorkHereAreMarkedInPlace) {
    struct Case {
        const char* container;
        const char* control;
        const char* item;
        const char* mark;  // what the label gains; none: it works here
    };
    constexpr const char* NOT_IN_CONTAINER = " (not in this container)";
    const Case cases[] = {
        {MOV, "klavvideocodec", "libvpx VP9 (not in this container)", NOT_IN_CONTAINER},
        {MOV, "klavaudiocodec", "Opus (not in this container)", NOT_IN_CONTAINER},
        // No machine of these tests has the device the encoder needs.
        {MOV, "klavvideocodec", "NVIDIA NVENC H.264 encoder (not available here)", " (not available here)"},
        {MP4, "klavvideocodec", "libvpx VP9", nullptr},
        {MP4, "klavaudiocodec", "Opus", nullptr},
        {MOV, "klavvideocodec", X264, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.container) + " " + c.item);
        auto host = open_panel({{"klavformat", c.container}});
        const std::vector<std::string>& items = control(*host, c.control).choices;
        const auto at = std::find(items.begin(), items.end(), c.item);
        ASSERT_NE(at, items.end());
        // Indices are those of the list without marks.
        EncoderList plain;
        add_encoders(0, plain, std::string(c.control) == "klavvideocodec", std::string(c.control) != "klavvideocodec",
                     false);
        add_container_encoders(*find_muxer(std::string(c.container) == MOV ? "mov" : "mp4"), plain,
                               std::string(c.control) == "klavvideocodec");
        ASSERT_LT(size_t(at - items.begin()), plain.size());
        EXPECT_EQ(c.item, std::string(plain[size_t(at - items.begin())].label) + (c.mark ? c.mark : ""));
        host->log().clear();
        ASSERT_TRUE(host->choose(c.control, c.item));
        EXPECT_EQ(host->log().texts(LOG_WARNING).size(), c.mark ? 1u : 0u);
        if (c.mark) {
            EXPECT_TRUE(logged(host->log(), "will not work here", LOG_WARNING));
        }
    }
}

// The stand-in host's views of a panel, as qelhost panel prints them.
TEST(PanelViews, DrawEachControlAtItsPlaceAndMarkDisabledOnes) {
    qelhost::FaultLog faults;
    qelhost::ControlSet panel(faults);
    const uint32_t format = panel.add_choice("klavformat", "Format: %s", "AVI,MOV", 1);
    const uint32_t stereo = panel.add_toggle("klavstereo", "Stereo", true, false);
    const uint32_t channel = panel.add_toggle("ffaudioChan1", "1", false, false);
    const uint32_t bitrate = panel.add_number("klavvidbitrate", "kBps", 0, 0, 268435, 1, false);
    panel.place(format, 0, 0, 2, 1);
    panel.place(stereo, 0, 2.5f, 1.5f, 1);
    panel.place(channel, 1, 0, 0.3f, 1);
    panel.place(bitrate, 1, 1, 1, 1);
    panel.disable(bitrate);

    EXPECT_EQ(qelhost::panel_grid(panel, 10),
              "Format: MOV v            [x] Stereo\n"
              "-1        (kBps 0)\n");

    const std::string table = qelhost::panel_table(panel);
    const size_t at_format = table.find("Format: MOV"), at_bitrate = table.find("klavvidbitrate");
    ASSERT_NE(at_bitrate, std::string::npos) << table;
    EXPECT_LT(at_format, at_bitrate);
    EXPECT_NE(table.find("(disabled)", at_bitrate), std::string::npos) << table;
    EXPECT_EQ(table.find("(disabled)"), table.find("(disabled)", at_bitrate)) << "only the disabled control is marked";
    const nlohmann::json json = qelhost::panel_json(panel);
    ASSERT_EQ(json.size(), 4u);
    EXPECT_EQ(json[0]["value_text"], "MOV");
    EXPECT_EQ(json[3]["enabled"], false);
    EXPECT_TRUE(faults.empty());
}
