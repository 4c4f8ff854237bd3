// What a host may get wrong: no sound, no pixels, control values outside
// every range, a missing suite (a picture that changes size is refused in the
// request tests). Each gets a message or a documented fallback; none crashes.
#include "requests/request_fixture.h"

#include <climits>

using qelhost::FrameRequest;

class HostFaults : public RequestTest {};

TEST_F(HostFaults, NoPixelsIsRefusedWithAMessage) {
    auto host = open_panel({{"klavformat", items::MATROSKA}});
    FrameRequest request;
    request.width = 64;
    request.height = 48;
    request.path = path("no-pixels.mkv");
    EXPECT_FALSE(host->process(request));
    EXPECT_TRUE(logged(host->log(), "QelFFmpegWriter: the host gave no pixels for the frame"));
    EXPECT_TRUE(logged(host->log(), "QelFFmpegWriter: Failed to encode/write video frame"));

    // The next request opens the output again and is written.
    EXPECT_TRUE(render_frames(*host, path("no-pixels.mkv"), 1, 1));
    EXPECT_EQ(probe::read(path("no-pixels.mkv")).video_frames, 1);
}

TEST_F(HostFaults, AClipWithoutSoundGivesAVideoOnlyFile) {
    auto host = open_panel({{"klavformat", items::MATROSKA}});
    host->node().audio.reset();
    ASSERT_TRUE(render_frames(*host, path("silent.mkv"), 3));
    const probe::File file = probe::read(path("silent.mkv"));
    EXPECT_EQ(file.video_frames, 3);
    EXPECT_EQ(file.count(AVMEDIA_TYPE_AUDIO), 0);
}

// Stored projects and other hosts may hold any number in any control.
TEST_F(HostFaults, ControlValuesOutsideEveryRangeNeverCrash) {
    for (const double value : {-1.0, double(INT_MIN), 1e9, double(INT_MAX)}) {
        auto host = open_panel({{"klavformat", items::MATROSKA}});
        host->node().audio = qelhost::AudioClip::tone();
        for (const qelhost::Control& control : host->controls().all())
            if (!control.identifier.empty() && control.identifier != "klavformat")
                host->controls().set_value(control.identifier, value);
        if (!send_frames(*host, path("odd-values.mkv"), 1)) {
            EXPECT_TRUE(logged(host->log(), "QelFFmpegWriter: ")) << value;
        }
        EXPECT_TRUE(finish(*host)) << value;
        EXPECT_TRUE(host->faults().empty()) << value;
    }
}

TEST_F(HostFaults, MissingSuitesNeverCrash) {
    for (const char* missing : {"Image", "Node", "Ctrl", "Log"}) {
        qelhost::HostOptions options;
        options.missing_suites = {missing};
        options.echo_log = false;
        qelhost::StandinHost host(options);
        if (!host.init()) continue;  // a host without the suite may not get an instance at all
        host.restore();
        const bool written = render_frames(host, path(std::string("without-") + missing + ".mkv"), 1);
        if (std::string(missing) == "Image") {
            EXPECT_FALSE(written) << "pixels cannot be had without the Image suite";
        }
        EXPECT_TRUE(host.exit());
    }
}
