// What a disk does to an output: full, a folder that cannot be made or may
// not be written, a size limit reached in the middle. The request fails with
// the module's message naming the cause, the next output with another path
// works, and neither a descriptor nor memory is left behind.
#include "common/fd_count.h"
#include "requests/request_fixture.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

// Asked of LeakSanitizer in the child: it ends with _exit, so the check at
// exit never sees what the child did.
bool leaks_now() {
#if defined(__SANITIZE_ADDRESS__)
    return __lsan_do_recoverable_leak_check() != 0;
#else
    return false;
#endif
}

// What each bit of the child's exit code says went wrong.
const char* const CHILD_FAILURES[] = {"the failed output reported success", "no message named the cause",
                                      "the next output failed",             "a descriptor was left open",
                                      "memory was left behind",             "faststart could not be switched on"};

constexpr uid_t NOBODY = 65534;

struct DiskFault {
    const char* name;
    std::string output;                // relative to the test's folder, or absolute
    int frames;                        // sent to it
    std::vector<std::string> causes;   // error lines the host must see
    std::function<bool()> in_child;    // limits and identity set in the child; false if it cannot
    const char* quality = "Normal";
};

// Root may write anywhere: the unwritable folder is tried as "nobody", and the
// folder that cannot be made has a regular file for its parent.
std::vector<DiskFault> disk_faults() {
    return {
        {"full disk", "full", 30, {"QelFFmpegWriter: ", "No space left on device"}, [] { return true; }},
        {"folder under a file",
         "a-file/out.mkv",
         3,
         {"QelFFmpegWriter: failed to create file: Not a directory", "QelFFmpegWriter: Failed to create file."},
         [] { return true; }},
        {"read-only folder",
         "locked/out.mkv",
         3,
         {"QelFFmpegWriter: failed to create file: Permission denied", "QelFFmpegWriter: Failed to create file."},
         [] { return geteuid() != 0 || (setgroups(0, nullptr) == 0 && setgid(NOBODY) == 0 && setuid(NOBODY) == 0); }},
        // SIGXFSZ ignored, so writes past the limit fail with EFBIG.
        {"size limit in mid-render",
         "big.mkv",
         400,
         {"File too large"},
         [] {
             std::signal(SIGXFSZ, SIG_IGN);
             const rlimit limit{16 * 1024, 16 * 1024};
             return setrlimit(RLIMIT_FSIZE, &limit) == 0;
         },
         "Maximum"},
    };
}

}  // namespace

class DiskFaults : public RequestTest {
protected:
    void SetUp() override {
        RequestTest::SetUp();
        namespace fs = std::filesystem;
        { std::ofstream(path("a-file")) << "not a folder"; }
        fs::create_directories(path("locked"));
        fs::permissions(path("locked"), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                            fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
        // A full disk's own node, so that a writer replacing it could only
        // ever replace this one; without the right to make nodes, a link to
        // the machine's (a rename replaces the link, not the device).
        if (mknod(path("full").c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0)
            fs::create_symlink("/dev/full", path("full"));
        fs::create_directories(path("open"));
        fs::permissions(path("open"), fs::perms::all);
    }
};

TEST_F(DiskFaults, TheRequestFailsSayingWhyAndTheNextOutputWorks) {
    int n = 0;
    // With faststart the movie goes to a temporary file first, and is moved
    // or rewritten at the end.
    for (const bool fastStart : {false, true})
    for (const DiskFault& fault : disk_faults()) {
        SCOPED_TRACE(std::string(fault.name) + (fastStart ? ", mp4 with faststart" : ", matroska"));
        std::string bad = fault.output[0] == '/' ? fault.output : path(fault.output);
        if (fastStart && bad.size() > 4 && bad.compare(bad.size() - 4, 4, ".mkv") == 0) bad.replace(bad.size() - 4, 4, ".mp4");
        const std::string next = path("open/after" + std::to_string(++n) + ".mkv");
        // In a child, so that limits and identity stay there.
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (!fault.in_child()) _exit(64);
            int code = 0;
            {
                auto host = open_panel({{"klavformat", fastStart ? items::MP4 : items::MATROSKA},
                                        {"klavquality", fault.quality}});
                if (fastStart && !host->change("klavfaststart", 1)) code |= 32;
                const int descriptors = open_descriptors();
                if (render_frames(*host, bad, fault.frames)) code |= 1;
                for (const std::string& cause : fault.causes)
                    if (!logged(host->log(), cause)) code |= 2;
                if (!render_frames(*host, next, 3, fault.frames)) code |= 4;
                if (open_descriptors() != descriptors) code |= 8;
            }
            if (leaks_now()) code |= 16;
            _exit(code);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << "the child crashed";
        const int code = WEXITSTATUS(status);
        ASSERT_NE(code, 64) << "could not set the fault up";
        for (int bit = 0; bit < 6; ++bit) EXPECT_EQ(code & (1 << bit), 0) << CHILD_FAILURES[bit];
        if (fault.causes[0].find("create file") != std::string::npos) {
            EXPECT_FALSE(std::filesystem::exists(bad));
        }
        EXPECT_EQ(probe::read(next).video_frames, 3);
        ASSERT_TRUE(std::filesystem::is_character_file(path("full"))) << "THE FULL DISK'S DEVICE NODE WAS REPLACED";
    }
}
