// What a host may get wrong: a frame without pixels or of another shape,
// control values outside every range, a missing suite. Each gets a message
// or a fallback; none crashes.
#include "common/fd_count.h"
#include "requests/request_fixture.h"

#include <algorithm>
#include <climits>
#include <functional>

using qelhost::FrameRequest;
using qelhost::Picture;

class HostFaults : public RequestTest {};

namespace {

struct BadFrame {
    const char* name;
    std::function<void(FrameRequest&)> spoil;
    const char* message;  // the error line naming the cause
};

}  // namespace

// A picture the output was not opened for would be read out of bounds. The
// request fails saying why, the output is given up, and the same path then
// opens a new file.
TEST_F(HostFaults, AFrameTheOutputCannotTakeIsRefusedAndTheNextRequestStartsAgain) {
    Picture small(32, 24), rgb(64, 48, 3);
    const BadFrame cases[] = {
        {"smaller", [&](FrameRequest& r) { r.picture = &small; },
         "QelFFmpegWriter: frame is 32x24 with 4 channels, the output was opened at 64x48 with 4"},
        {"rgb", [&](FrameRequest& r) { r.picture = &rgb; },
         "QelFFmpegWriter: frame is 64x48 with 3 channels, the output was opened at 64x48 with 4"},
        {"no pixels", [](FrameRequest& r) { r.picture = nullptr, r.width = 64, r.height = 48; },
         "QelFFmpegWriter: the host gave no pixels for the frame"},
    };
    for (const BadFrame& c : cases) {
        SCOPED_TRACE(c.name);
        auto host = open_panel({{"klavformat", items::MATROSKA}});
        const std::string file = path(std::string(c.name) + ".mkv");
        ASSERT_TRUE(send_frames(*host, file, 1));
        Picture picture(64, 48);
        FrameRequest request;
        request.picture = &picture;
        request.frame = 1;
        request.path = file;
        c.spoil(request);
        EXPECT_FALSE(host->process(request));
        EXPECT_TRUE(host->log().contains(4, c.message));
        EXPECT_TRUE(host->log().contains(4, "QelFFmpegWriter: Failed to encode/write video frame"));
        ASSERT_TRUE(render_frames(*host, file, 1, 2));
        EXPECT_EQ(probe::read(file).video_frames, 1);
        EXPECT_TRUE(host->faults().empty());
    }
}

// Stored projects (values before RESTORE) and other hosts (values changed
// behind the module's back) may hold any number in any control. A stored
// container past the list falls back to "mov"; with no encoder at such an
// index every request says so rather than leaving an empty movie.
TEST_F(HostFaults, ControlValuesOutsideEveryRangeNeverCrash) {
    for (const bool stored : {true, false})
        for (const double value : {-1.0, double(INT_MIN), 1e5, 1e9, double(INT_MAX)}) {
            SCOPED_TRACE(std::to_string(value) + (stored ? " stored" : " after restore"));
            auto host = make_host();
            ASSERT_TRUE(host->init());
            auto set_all = [&] {
                for (const qelhost::Control& control : host->controls().all())
                    if (!control.identifier.empty()) host->controls().set_value(control.identifier, value);
            };
            if (stored) set_all();
            ASSERT_TRUE(host->restore());
            if (!stored) set_all();
            QEL_OutputInfo info{};
            ASSERT_TRUE(host->output_info(info));
            if (stored) {
                EXPECT_STREQ(info.extension, "mov");
            }

            const int descriptors = open_descriptors();
            qelhost::TestPatternClip clip({64, 48, 4, 25, 4, qelhost::AudioClip::tone(), {}});
            EXPECT_EQ(qelhost::render(*host, clip, to(path("odd-values.mov"))).failed, 4);
            EXPECT_TRUE(host->log().contains(4, "QelFFmpegWriter: Failed to create file."));
            EXPECT_TRUE(host->faults().empty());
            EXPECT_EQ(open_descriptors(), descriptors);
        }
}

namespace {

struct MissingSuite {
    const char* suite;
    const char* refusal;  // what each request is refused with; nullptr: nothing is told
    bool panel;           // Ctrl was acquired: the panel's controls exist
    bool sound;           // Node was acquired: the clip's sound was read
};

void PrintTo(const MissingSuite& c, std::ostream* os) { *os << c.suite; }

class MissingSuites : public RequestTest, public ::testing::WithParamInterface<MissingSuite> {};

}  // namespace

// The module asks for the suites in order and stops at the first one the
// host lacks: it does without that one and every one after it. Without Ctrl
// every control reads 0, which chooses neither encoder: there is nothing to
// write; without Image (missing or never asked for) no frame has pixels;
// without Log it stays silent. The instance lives and ends as any other.
TEST_P(MissingSuites, EverySuiteFromTheMissingOneOnIsDoneWithout) {
    const MissingSuite& c = GetParam();
    qelhost::HostOptions options;
    options.missing_suites = {c.suite};
    options.echo_log = false;
    qelhost::StandinHost host(module, options);
    ASSERT_TRUE(host.init());
    const std::vector<std::string> order = {"Log", "Ctrl", "MultiProc", "Node", "Image"};
    const auto asked = std::find(order.begin(), order.end(), c.suite) + 1;
    EXPECT_EQ(host.suite_requests(), std::vector<std::string>(order.begin(), asked));
    EXPECT_EQ(bindings(), 1);
    ASSERT_TRUE(host.restore());
    EXPECT_EQ(host.choose("klavformat", items::MATROSKA), c.panel);
    EXPECT_EQ(host.change("ffaudioChan1", 1) && host.change("ffaudioChan2", 1), c.panel);
    host.node().audio = qelhost::AudioClip::tone();

    EXPECT_FALSE(render_frames(host, path("without.mkv"), 2));
    if (c.refusal) {
        EXPECT_TRUE(host.log().contains(4, c.refusal));
    } else {
        EXPECT_TRUE(host.log().lines().empty());
    }
    EXPECT_EQ(host.node().audio_reads().empty(), !c.sound);
    EXPECT_TRUE(host.exit());
    EXPECT_TRUE(host.faults().empty());
}

constexpr const char* NO_PIXELS = "QelFFmpegWriter: the host gave no pixels for the frame";

INSTANTIATE_TEST_SUITE_P(, MissingSuites,
                         ::testing::Values(MissingSuite{"Log", nullptr, false, false},
                                           MissingSuite{"Ctrl", "QelFFmpegWriter: Failed to create file.", false, false},
                                           MissingSuite{"Node", NO_PIXELS, true, false},
                                           MissingSuite{"Image", NO_PIXELS, true, true}),
                         [](const ::testing::TestParamInfo<MissingSuite>& info) { return info.param.suite; });
