// The stand-in host libraries and the stand-in host's suites: everything
// else is tested on top of them, so they have to answer as the host would.
#include "requests/request_fixture.h"

#include "VelmoraCore.h"
#include "VelmoraServices.h"
#include "fflink.h"
#include "host/harness/suite_tables.h"
#include "base/qel_abi.h"

#include <filesystem>
#include <optional>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

TEST(HostLibraries, CreateDirectoryMakesTheWholeChainAndFflinkTakesOnlyKnownLibraries) {
    const fs::path root = fs::temp_directory_path() / ("qel_dirs_" + std::to_string(::getpid()));
    fs::remove_all(root);
    EXPECT_EQ(file_create_directory((root / "a/b").c_str(), true), 0);
    EXPECT_EQ(file_create_directory((root.string() + "\\d\\e").c_str(), true), 0) << "host paths may use backslashes";
    EXPECT_TRUE(fs::is_directory(root / "a/b") && fs::is_directory(root / "d/e"));
    EXPECT_EQ(file_create_directory((root / "a/b").c_str(), true), 0) << "an existing folder is fine";
    fs::remove_all(root);
    const int32_t unknown[] = {0, 9, 8};
    EXPECT_FALSE(fflink_load(nullptr, nullptr) || fflink_load(unknown, nullptr));
}

// The suites as the module reaches them: through the tables get_suite gives.
template <typename Fn>
Fn entry(const char* suite, int n) {
    return reinterpret_cast<Fn>(static_cast<void* const*>(qelhost::StandinHost::get_suite(suite))[n]);
}

using Suites = HostTest;

TEST_F(Suites, AudioIsInterleavedForTheSelectedChannels) {
    auto host = make_host();
    qelhost::StandinHost::ActiveScope scope(host.get());
    qelhost::AudioClip clip;
    clip.rate = 48000;
    clip.channels = 3;
    clip.length = 10;
    clip.sample = [](int channel, int64_t index) { return channel == 0 ? 0.5 : (index % 2 ? -1.0 : 1.0); };
    host->node().audio = clip;

    auto read = entry<QelNodeReadAudio>("Node", NODE_READ_AUDIO);
    int16_t s16[8] = {};
    // Channels 0 and 2 from sample 8: two frames remain of ten.
    EXPECT_EQ(read(48000, 16, 2, 0, 0b101, 8.0 / 48000, 4, s16, sizeof s16), 2);
    EXPECT_EQ(std::vector<int16_t>(s16, s16 + 5), (std::vector<int16_t>{16384, 32767, 16384, -32767, 0}));
    ASSERT_EQ(host->node().audio_reads().size(), 1u);
    EXPECT_TRUE(host->node().audio_reads()[0].channel_mask == 0b101u && host->node().audio_reads()[0].delivered == 2);
    EXPECT_TRUE(host->faults().empty());
}

TEST_F(Suites, MetadataHandlesAreCountedUntilReleasedAndAStrayEntryStopsTheProgram) {
    auto host = make_host();
    qelhost::StandinHost::ActiveScope scope(host.get());
    host->node().metadata = [](double frame) -> std::optional<qelhost::MetadataEntries> {
        if (frame < 1) return std::nullopt;
        return qelhost::MetadataEntries{{"camera", "A"}, {"scene", "12"}};
    };
    auto release = entry<QelNodeMetadataRelease>("Node", NODE_METADATA_RELEASE);
    EXPECT_EQ(entry<QelNodeMetadataAt>("Node", NODE_METADATA_AT)(0), nullptr);
    release(nullptr);
    void* handle = entry<QelNodeMetadataAt>("Node", NODE_METADATA_AT)(5);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(entry<QelNodeMetadataCount>("Node", NODE_METADATA_COUNT)(handle), 2);
    EXPECT_STREQ(entry<QelNodeMetadataText>("Node", NODE_METADATA_VALUE)(handle, 1), "12");
    EXPECT_EQ(host->node().live_metadata_handles(), 1u);
    release(handle);
    EXPECT_EQ(host->node().live_metadata_handles(), 0u);
    EXPECT_TRUE(host->faults().empty());
    release(handle);  // twice
    EXPECT_EQ(host->faults().list().size(), 1u);

    EXPECT_DEATH(entry<void (*)()>("Ctrl", 2)(), "Ctrl entry 2");
}
