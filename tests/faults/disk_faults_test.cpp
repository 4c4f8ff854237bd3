// What a disk does to an output: full, not writable, a size limit reached in
// the middle. The request fails with the module's message, the next output
// with another path works, and nothing is left open.
#include "common/fd_count.h"
#include "leak_check.h"
#include "fault_requests.h"

#include <csignal>
#include <fstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using qelhost::FrameRequest;
using qelhost::Picture;

class DiskFaults : public RequestTest {};

TEST_F(DiskFaults, FullDiskFailsTheRequestAndTheNextOutputWorks) {
    auto host = open_panel({{"klavformat", items::MATROSKA}});
    const int descriptors = open_descriptors();
    EXPECT_FALSE(render_frames(*host, "/dev/full", 30));
    EXPECT_TRUE(logged(host->log(), "QelFFmpegWriter: ")) << "a message of the module says why";
    EXPECT_TRUE(logged(host->log(), "No space left on device"));

    ASSERT_TRUE(render_frames(*host, path("after.mkv"), 5));
    EXPECT_EQ(probe::read(path("after.mkv")).video_frames, 5);
    EXPECT_EQ(open_descriptors(), descriptors);
}

// Root may write anywhere, so the folder is one that cannot exist: its
// parent is a regular file.
TEST_F(DiskFaults, FolderThatCannotBeCreatedFailsTheRequest) {
    auto host = open_panel({{"klavformat", items::MATROSKA}});
    const std::string blocker = path("a-file");
    { std::ofstream(blocker) << "not a folder"; }
    const int descriptors = open_descriptors();
    EXPECT_FALSE(render_frames(*host, blocker + "/out.mkv", 3));
    EXPECT_TRUE(logged(host->log(), "QelFFmpegWriter: failed to create file: Not a directory"));
    EXPECT_TRUE(logged(host->log(), "QelFFmpegWriter: Failed to create file."));

    ASSERT_TRUE(render_frames(*host, path("after.mkv"), 3));
    EXPECT_EQ(probe::read(path("after.mkv")).video_frames, 3);
    EXPECT_EQ(open_descriptors(), descriptors);
}

// A file-size limit reached in mid-render (SIGXFSZ ignored, so writes fail
// with EFBIG): run in a child so the limit stays there.
TEST_F(DiskFaults, SizeLimitInMidRenderFailsTheRequestAndTheNextOutputWorks) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{16 * 1024, 16 * 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
        int code = 0;
        {
            auto host = open_panel({{"klavformat", items::MATROSKA}, {"klavquality", "Maximum"}});
            const int descriptors = open_descriptors();
            if (render_frames(*host, path("big.mkv"), 400)) code |= 1;
            if (!logged(host->log(), "File too large")) code |= 2;
            if (!render_frames(*host, path("small.mkv"), 2, 400)) code |= 4;
            if (open_descriptors() != descriptors) code |= 8;
        }
        if (leaks_now()) code |= 16;
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child crashed";
    const int code = WEXITSTATUS(status);
    EXPECT_EQ(code & 1, 0) << "a render past the limit reported success";
    EXPECT_EQ(code & 2, 0) << "no message named the cause";
    EXPECT_EQ(code & 4, 0) << "the next output failed";
    EXPECT_EQ(code & 8, 0) << "a descriptor was left open";
    EXPECT_EQ(code & 16, 0) << "memory was left behind";
    EXPECT_EQ(probe::read(path("small.mkv")).video_frames, 2);
}
