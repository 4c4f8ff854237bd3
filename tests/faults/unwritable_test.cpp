// A folder the user may not write to, and what repeated disk faults leave
// behind. Tests run as root, which ignores permission bits: the read-only
// folder is tried in a child that first becomes an ordinary user ("nobody").
#include "common/fd_count.h"
#include "leak_check.h"
#include "fault_requests.h"

#include <filesystem>
#include <fstream>
#include <grp.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

using qelhost::FrameRequest;
using qelhost::Picture;

namespace {

constexpr uid_t NOBODY = 65534;



}  // namespace

class Unwritable : public RequestTest {};

TEST_F(Unwritable, AReadOnlyFolderFailsTheRequestAndTheNextOutputWorks) {
    namespace fs = std::filesystem;
    const std::string locked = path("locked");
    const std::string open = path("open");
    fs::create_directories(locked);
    fs::create_directories(open);
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(open, fs::perms::all);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0)) _exit(64);
        int code = 0;
        {
            auto host = open_panel({{"klavformat", items::MATROSKA}});
            const int descriptors = open_descriptors();
            if (render_frames(*host, locked + "/out.mkv", 3)) code |= 1;
            if (!logged(host->log(), "QelFFmpegWriter: failed to create file: Permission denied")) code |= 2;
            if (!logged(host->log(), "QelFFmpegWriter: Failed to create file.")) code |= 2;
            if (!render_frames(*host, open + "/after.mkv", 3)) code |= 4;
            if (open_descriptors() != descriptors) code |= 8;
        }
        if (leaks_now()) code |= 16;
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child crashed";
    const int code = WEXITSTATUS(status);
    ASSERT_NE(code, 64) << "could not become an ordinary user";
    EXPECT_EQ(code & 1, 0) << "a render into a read-only folder reported success";
    EXPECT_EQ(code & 2, 0) << "the module did not say why";
    EXPECT_EQ(code & 4, 0) << "the next output failed";
    EXPECT_EQ(code & 8, 0) << "a descriptor was left open";
    EXPECT_EQ(code & 16, 0) << "memory was left behind";
    EXPECT_FALSE(fs::exists(locked + "/out.mkv"));
    EXPECT_EQ(probe::read(open + "/after.mkv").video_frames, 3);
}

// Each failed output is released whole: once FFmpeg and the host's records
// have grown to their size (about fifteen rounds), twenty more rounds of a full disk and of a folder
// that cannot exist leave the heap as it was. The sanitizer build's leak
// check covers the same at exit, with an allocator this count cannot see.
TEST_F(Unwritable, RepeatedDiskFaultsLeaveNoMemoryBehind) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "LeakSanitizer checks this build";
#endif
    auto host = open_panel({{"klavformat", items::MATROSKA}});
    host->node().audio = qelhost::AudioClip::tone();
    EXPECT_TRUE(host->change("ffaudioChan1", 1));
    const std::string blocker = path("a-file");
    { std::ofstream(blocker) << "not a folder"; }
    auto rounds = [&](int n) {
        for (int i = 0; i < n; ++i) {
            EXPECT_FALSE(render_frames(*host, "/dev/full", 5));
            EXPECT_FALSE(render_frames(*host, blocker + "/out.mkv", 2));
            host->log().clear();
            host->node().clear_history();
        }
        return int64_t(mallinfo2().uordblks);
    };
    const int descriptors = open_descriptors();
    const int64_t settled = rounds(20);
    const int64_t after = rounds(20);
    EXPECT_LT(after - settled, 2048) << "bytes kept by forty more failed outputs";
    EXPECT_EQ(open_descriptors(), descriptors);
}
