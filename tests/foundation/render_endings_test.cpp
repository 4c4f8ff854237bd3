// `qelhost render` where an output is not a plain file, and where a render is
// interrupted: nothing but a regular file is ever replaced, a failure is a
// failure, and what was rendered before a signal is a finished movie.
#include "requests/request_fixture.h"

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const std::string SMALL = " --frames 30 --size 320x240";

fs::path fresh_folder(const std::string& name) {
    const fs::path folder = fs::path(QEL_BUILD_DIR) / "test_files" / "render_endings" / name;
    if (fs::exists(folder)) {
        umount2(folder.c_str(), MNT_DETACH);
        fs::remove_all(folder);
    }
    fs::create_directories(folder);
    return folder;
}

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

int video_frames(const fs::path& path) { return probe::read(path.string()).video_frames; }

bool has_temporary_file(const fs::path& folder) {
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().string().find("_SlowStart") != std::string::npos) return true;
    return false;
}

// The output's folder, its path, and what a render to it must leave.
struct OutputCase {
    const char* name;
    std::function<std::string(const fs::path& folder)> prepare;  // the output path; "" skips the row
    std::string arguments;                                      // after `render -o PATH`
    bool succeeds;
    std::function<void(const fs::path& folder, const CommandResult& run)> check;
};

// A reader on the other end of a FIFO copies the stream to `copy`.
std::string with_reader(const std::string& fifo, const std::string& copy, const std::string& command) {
    return "cat '" + fifo + "' > '" + copy + "' & reader=$!; " + command + "; status=$?; wait $reader; exit $status";
}

std::vector<OutputCase> output_cases() {
    auto fifo = [](const char* name, const char* container) {
        return OutputCase{
            name,
            [](const fs::path& folder) {
                const std::string path = (folder / "stream").string();
                return mkfifo(path.c_str(), 0600) == 0 ? path : std::string();
            },
            std::string(SMALL) + " --set klavformat=" + container,
            true,
            [](const fs::path& folder, const CommandResult& run) {
                EXPECT_TRUE(fs::is_fifo(folder / "stream"));
                EXPECT_EQ(video_frames(folder / "copy"), 30) << run.out;
                EXPECT_NE(run.out.find("\n0 files:"), std::string::npos) << "a FIFO is not a file";
            }};
    };
    return {
        fifo("fifo_matroska", "matroska"),
        fifo("fifo_mpegts", "mpegts"),
        {"link_with_faststart",
         [](const fs::path& folder) {
             { std::ofstream(folder / "movie.mp4") << "an older take"; }
             fs::create_symlink("movie.mp4", folder / "link.mp4");
             return (folder / "link.mp4").string();
         },
         SMALL, true,
         [](const fs::path& folder, const CommandResult&) {
             EXPECT_TRUE(fs::is_symlink(folder / "link.mp4"));
             EXPECT_EQ(video_frames(folder / "movie.mp4"), 30);
             EXPECT_TRUE(index_in_front((folder / "movie.mp4").string()));
             EXPECT_FALSE(has_temporary_file(folder));
         }},
        // A small filesystem holds the movie once but not its rewrite: the
        // faststart copy fails and the movie is kept, at the link's target.
        {"link_with_faststart_failing",
         [](const fs::path& folder) {
             const CommandResult sized =
                 run_command(QELHOST + " render" + SMALL + " -o '" + (folder / "size.mp4").string() + "'");
             const uintmax_t size = fs::file_size(folder / "size.mp4");
             fs::remove(folder / "size.mp4");
             const fs::path small = folder / "small";
             fs::create_directories(small);
             const std::string options = "size=" + std::to_string((size * 3 / 2 + 4095) / 4096 * 4096);
             if (sized.status != 0 || mount("tmpfs", small.c_str(), "tmpfs", 0, options.c_str()) != 0)
                 return std::string();
             { std::ofstream(small / "movie.mp4") << "an older take"; }
             fs::create_symlink("small/movie.mp4", folder / "link.mp4");
             return (folder / "link.mp4").string();
         },
         SMALL, true,
         [](const fs::path& folder, const CommandResult& run) {
             EXPECT_NE(run.out.find("kept without faststart"), std::string::npos) << run.out;
             EXPECT_TRUE(fs::is_symlink(folder / "link.mp4"));
             EXPECT_EQ(video_frames(folder / "small/movie.mp4"), 30);
             EXPECT_FALSE(has_temporary_file(folder / "small"));
             umount2((folder / "small").c_str(), MNT_DETACH);
         }},
        {"directory",
         [](const fs::path& folder) {
             fs::create_directories(folder / "out.mp4");
             return (folder / "out.mp4").string();
         },
         SMALL, false,
         [](const fs::path& folder, const CommandResult& run) {
             EXPECT_NE(run.out.find("QelFFmpegWriter: output path is a directory"), std::string::npos) << run.out;
             EXPECT_TRUE(fs::is_empty(folder / "out.mp4"));
             EXPECT_FALSE(has_temporary_file(folder));
         }},
        // A full disk's own node in the test's folder: a replaced device
        // would be this one, never the machine's.
        {"full_device",
         [](const fs::path& folder) {
             const std::string path = (folder / "full").string();
             return mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0 ? path : std::string();
         },
         SMALL, false,
         [](const fs::path& folder, const CommandResult& run) {
             ASSERT_TRUE(fs::is_character_file(folder / "full")) << "THE DEVICE NODE WAS REPLACED";
             EXPECT_NE(run.out.find("faststart needs a seekable file"), std::string::npos) << run.out;
             EXPECT_NE(run.out.find("No space left on device"), std::string::npos) << run.out;
             EXPECT_FALSE(has_temporary_file(folder));
         }},
    };
}

class RenderOutputs : public testing::TestWithParam<OutputCase> {};

TEST_P(RenderOutputs, OnlyPlainFilesAreReplacedAndFailuresFail) {
    const OutputCase& c = GetParam();
    const fs::path folder = fresh_folder(c.name);
    const std::string path = c.prepare(folder);
    if (path.empty()) GTEST_SKIP() << "this machine cannot set the case up (root needed)";
    std::string command = QELHOST + " render -o '" + path + "'" + c.arguments;
    if (fs::is_fifo(path)) command = with_reader(path, (folder / "copy").string(), command);
    const CommandResult run = run_command(command);
    EXPECT_EQ(run.status == 0, c.succeeds) << run.out;
    c.check(folder, run);
}

INSTANTIATE_TEST_SUITE_P(, RenderOutputs, testing::ValuesIn(output_cases()),
                         row_name<OutputCase>);

// qelhost render started in the background, its output in files.
class Background {
public:
    pid_t pid = -1;
    fs::path log;

    Background(const fs::path& folder, const std::string& arguments) : log(folder / "qelhost.log") {
        pid = fork();
        if (pid == 0) {
            const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
            execl("/bin/sh", "sh", "-c", ("exec " + QELHOST + " render " + arguments).c_str(), nullptr);
            _exit(127);
        }
    }
    // Waits until `ready` holds or the render has ended; should neither come,
    // ctest's timeout ends the test.
    void wait_for(const std::function<bool()>& ready) {
        while (!ready() && !exited()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    bool exited() {
        if (!m_ended && waitpid(pid, &m_status, WNOHANG) == pid) m_ended = true;
        return m_ended;
    }
    int finish() {
        if (!m_ended && waitpid(pid, &m_status, 0) == pid) m_ended = true;
        return m_status;
    }

private:
    bool m_ended = false;
    int m_status = 0;
};

struct SignalCase {
    int signal;
    int exitCode;
};

class RenderSignals : public testing::TestWithParam<SignalCase> {};

TEST_P(RenderSignals, TheOutputIsFinishedWithEveryFrameSoFar) {
    const SignalCase& c = GetParam();
    const fs::path folder = fresh_folder(std::string("signal_") + strsignal(c.signal));
    const fs::path movie = folder / "take.mp4";
    Background render(folder, "--frames 100000 --size 320x240 -o '" + movie.string() + "'");
    ASSERT_GT(render.pid, 0);
    // Frames are reaching the (temporary) file.
    render.wait_for([&] {
        std::error_code error;
        const uintmax_t size = fs::file_size(folder / "take_SlowStart.mov", error);
        return !error && size > 64 * 1024;
    });
    kill(render.pid, c.signal);
    const int status = render.finish();
    const std::string log = slurp(render.log);
    ASSERT_TRUE(WIFEXITED(status)) << log;
    EXPECT_EQ(WEXITSTATUS(status), c.exitCode) << log;

    std::smatch found;
    ASSERT_TRUE(std::regex_search(log, found, std::regex("interrupted after ([0-9]+) of 100000 frames"))) << log;
    const int frames = std::stoi(found[1]);
    EXPECT_GT(frames, 0);
    const probe::File file = probe::read(movie.string());
    EXPECT_EQ(file.video_frames, frames);
    EXPECT_LT(std::abs(file.audio_seconds() - file.video_seconds), 1.0 / 25)
        << "audio " << file.audio_seconds() << " s, video " << file.video_seconds << " s";
    EXPECT_TRUE(index_in_front(movie.string()));
    EXPECT_FALSE(has_temporary_file(folder));
}

INSTANTIATE_TEST_SUITE_P(, RenderSignals,
                         testing::Values(SignalCase{SIGINT, 130}, SignalCase{SIGTERM, 143}, SignalCase{SIGHUP, 129}),
                         [](const testing::TestParamInfo<SignalCase>& info) {
                             return std::string(sigabbrev_np(info.param.signal));
                         });

// A reader that never reads keeps qelhost writing for ever, so the second
// Ctrl-C surely comes while it is still busy with the output.
TEST(RenderInterrupt, ASecondOneEndsItAtOnce) {
    const fs::path folder = fresh_folder("second_interrupt");
    const fs::path fifo = folder / "stream";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Raw pictures larger than a pipe holds: the first frame's write stays
    // blocked on the reader that never reads, so the render cannot end by itself.
    Background render(folder, "--frames 100000 --size 1280x720 --set klavformat=matroska --set klavvideocodec=rawvideo -o '" +
                                  fifo.string() + "'");
    ASSERT_GT(render.pid, 0);
    const int reader = open(fifo.c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);
    kill(render.pid, SIGINT);
    render.wait_for([&] { return slurp(render.log).find("qelhost: interrupted") != std::string::npos; });
    kill(render.pid, SIGINT);
    const int status = render.finish();
    close(reader);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << slurp(render.log);
}

}  // namespace
