// The stand-in host libraries and the stand-in host's suites: everything
// else is tested on top of them, so they have to answer as the host would.
#include "requests/request_fixture.h"

#include "VelmoraCore.h"
#include "VelmoraServices.h"
#include "fflink.h"
#include "host/harness/suite_tables.h"
#include "base/qel_abi.h"

#include <cstring>
#include <filesystem>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using qelhost::AudioClip;

TEST(HostLibraries, CreateDirectoryMakesTheWholeChain) {
    const fs::path root = fs::temp_directory_path() / ("qel_dirs_" + std::to_string(::getpid()));
    fs::remove_all(root);
    EXPECT_EQ(file_create_directory((root / "a/b/c").c_str(), true), 0);
    EXPECT_TRUE(fs::is_directory(root / "a/b/c"));
    // Host paths may use backslashes.
    EXPECT_EQ(file_create_directory((root.string() + "\\d\\e").c_str(), true), 0);
    EXPECT_TRUE(fs::is_directory(root / "d/e"));
    EXPECT_EQ(file_create_directory((root / "a/b/c").c_str(), true), 0) << "an existing folder is fine";
    fs::remove_all(root);
}

TEST(HostLibraries, FflinkChecksTheListAndCanBeMadeToFail) {
    const int before = standin_fflink_loaded();
    const int32_t good[] = {0, 1, 2, 3, 4, 8};
    const int32_t unknown[] = {0, 9, 8};
    EXPECT_FALSE(fflink_load(nullptr, nullptr));
    EXPECT_FALSE(fflink_load(unknown, nullptr));
    EXPECT_EQ(standin_fflink_loaded(), before);

    ASSERT_TRUE(fflink_load(good, nullptr));
    EXPECT_EQ(standin_fflink_loaded(), before + 1);
    fflink_unload();
    EXPECT_EQ(standin_fflink_loaded(), before);

    standin_set_fflink_fail(true);
    EXPECT_FALSE(fflink_load(good, nullptr));
    standin_set_fflink_fail(false);
}

// The suites as the module reaches them: through the tables get_suite gives.
class Suites : public HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        host = make_host();
        scope = std::make_unique<qelhost::StandinHost::ActiveScope>(host.get());
    }
    void TearDown() override {
        scope.reset();
        HostTest::TearDown();
    }
    template <typename Fn>
    Fn entry(const char* suite, int n) {
        return reinterpret_cast<Fn>(static_cast<void* const*>(qelhost::StandinHost::get_suite(suite))[n]);
    }

    std::unique_ptr<qelhost::StandinHost> host;
    std::unique_ptr<qelhost::StandinHost::ActiveScope> scope;
};

TEST_F(Suites, AudioIsInterleavedForTheSelectedChannelsInTheAskedWidth) {
    AudioClip clip;
    clip.rate = 48000;
    clip.channels = 3;
    clip.length = 10;
    clip.sample = [](int channel, int64_t index) { return channel == 0 ? 0.5 : (index % 2 ? -1.0 : 1.0); };
    host->node().audio = clip;

    double rate;
    int32_t bits, bytes, channels, flags;
    ASSERT_TRUE(entry<QelNodeAudioFormat>("Node", NODE_AUDIO_FORMAT)(&rate, &bits, &bytes, &channels, &flags));
    EXPECT_EQ(rate, 48000);
    EXPECT_EQ(channels, 3);

    auto read = entry<QelNodeReadAudio>("Node", NODE_READ_AUDIO);
    int16_t s16[8] = {};
    // Channels 0 and 2 from sample 8: two frames remain of ten.
    EXPECT_EQ(read(48000, 16, 2, 0, 0b101, 8.0 / 48000, 4, s16, sizeof s16), 2);
    EXPECT_EQ(s16[0], 16384);   // channel 0 at 0.5
    EXPECT_EQ(s16[1], 32767);   // channel 2, even index
    EXPECT_EQ(s16[3], -32767);  // channel 2, odd index
    EXPECT_EQ(s16[4], 0) << "nothing past the delivered samples";

    int32_t s32[2] = {};
    EXPECT_EQ(read(48000, 32, 4, 0, 0b100, 0, 10, s32, sizeof s32), 2) << "the buffer size limits the count";
    EXPECT_EQ(s32[0], 2147483647);
    uint8_t u8[1] = {};
    EXPECT_EQ(read(48000, 8, 1, 0, 0b001, 0, 1, u8, 1), 1);
    EXPECT_EQ(u8[0], 192);  // 128 + 0.5 * 127, rounded

    ASSERT_EQ(host->node().audio_reads().size(), 3u);
    EXPECT_EQ(host->node().audio_reads()[0].channel_mask, 0b101u);
    EXPECT_EQ(host->node().audio_reads()[0].delivered, 2);

    host->node().audio.reset();
    EXPECT_FALSE(entry<QelNodeAudioFormat>("Node", NODE_AUDIO_FORMAT)(&rate, &bits, &bytes, &channels, &flags));
    EXPECT_TRUE(host->faults().empty());
}

TEST_F(Suites, MetadataHandlesAreCountedUntilReleased) {
    host->node().metadata = [](double frame) -> std::optional<qelhost::MetadataEntries> {
        if (frame < 1) return std::nullopt;
        return qelhost::MetadataEntries{{"camera", "A"}, {"scene", "12"}};
    };
    auto at = entry<QelNodeMetadataAt>("Node", NODE_METADATA_AT);
    auto count = entry<QelNodeMetadataCount>("Node", NODE_METADATA_COUNT);
    auto key = entry<QelNodeMetadataText>("Node", NODE_METADATA_KEY);
    auto value = entry<QelNodeMetadataText>("Node", NODE_METADATA_VALUE);
    auto release = entry<QelNodeMetadataRelease>("Node", NODE_METADATA_RELEASE);

    void* none = at(0);
    EXPECT_EQ(none, nullptr);
    release(none);
    void* handle = at(5);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(count(handle), 2);
    EXPECT_STREQ(key(handle, 1), "scene");
    EXPECT_STREQ(value(handle, 1), "12");
    EXPECT_EQ(host->node().live_metadata_handles(), 1u);
    release(handle);
    EXPECT_EQ(host->node().live_metadata_handles(), 0u);
    EXPECT_EQ(host->node().metadata_requests(), host->node().metadata_releases());
    EXPECT_TRUE(host->faults().empty());

    release(handle);  // twice
    EXPECT_EQ(host->faults().list().size(), 1u);
}

TEST_F(Suites, EntriesOutsideTheContractStopTheProgram) {
    auto stray = entry<void (*)()>("Ctrl", 2);
    EXPECT_DEATH(stray(), "Ctrl entry 2");
}
