// The stand-in host's suites: everything else is tested on top of them, so
// they have to answer as the host would.
#include "requests/request_fixture.h"

#include "VelmoraServices.h"
#include "host/harness/suite_tables.h"
#include "base/qel_abi.h"

#include <optional>

// The suites as the module reaches them: through the tables get_suite gives.
template <typename Fn>
Fn entry(const char* suite, int n) {
    return reinterpret_cast<Fn>(static_cast<void* const*>(qelhost::StandinHost::get_suite(suite))[n]);
}

using Suites = HostTest;

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
