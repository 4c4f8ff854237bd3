// `qelhost render` where an output is not a plain file, and where a render is
// interrupted: nothing but a regular file is ever replaced, a failure is a
// failure, and what was rendered before a signal is a finished movie.
#include "common/other_readers.h"
#include "requests/request_fixture.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const std::string SMALL = " --frames 30 --size 320x240";

fs::path fresh_folder(const std::string& name) {
    const fs::path folder = fs::path(QEL_BUILD_DIR) / "test_files" / "render_endings" / name;
    umount2((folder / "small").c_str(), MNT_DETACH);  // left mounted by an interrupted run
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

bool has_temporary_file(const fs::path& folder) {
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().string().find("_Unfinished") != std::string::npos) return true;
    return false;
}

class RenderOutputs : public testing::Test {
protected:
    void SetUp() override { folder = fresh_folder(testing::UnitTest::GetInstance()->current_test_info()->name()); }
    static std::string render(const fs::path& path, const std::string& more = "") {
        return QELHOST + " render -o '" + path.string() + "'" + SMALL + more;
    }
    // An older take behind the link `link.mp4` to `target`.
    fs::path link_to(const std::string& target) const {
        { std::ofstream(folder / target) << "an older take"; }
        fs::create_symlink(target, folder / "link.mp4");
        return folder / "link.mp4";
    }

    fs::path folder;
};

TEST_F(RenderOutputs, AFifoIsWrittenThroughNotReplaced) {
    const fs::path fifo = folder / "stream";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // A reader on the other end copies the stream. Opening the FIFO read-write
    // after the render never blocks and ends a reader still waiting for a
    // writer, so a render that never opened it fails at once, not at ctest's
    // timeout.
    const std::string reader = "cat '" + fifo.string() + "' > '" + (folder / "copy").string() + "' & ";
    const CommandResult run = run_command(reader + render(fifo, " --set klavformat=matroska") +
                                          "; status=$?; : <>'" + fifo.string() + "'; wait; exit $status");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_EQ(probe::read((folder / "copy").string()).video_frames, 30) << run.out;
    EXPECT_NE(run.out.find("\n0 files:"), std::string::npos) << "a FIFO is not a file";
}

TEST_F(RenderOutputs, ALinkKeepsItsPlaceAndItsTargetGetsTheMovieWithFaststart) {
    const CommandResult run = run_command(render(link_to("movie.mp4")));
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(fs::is_symlink(folder / "link.mp4"));
    EXPECT_EQ(probe::read((folder / "movie.mp4").string()).video_frames, 30);
    EXPECT_TRUE(index_in_front((folder / "movie.mp4").string()));
    EXPECT_FALSE(has_temporary_file(folder));
}

// A small filesystem holds the movie once but not its rewrite: the faststart
// copy fails and the movie is kept, at the link's target.
TEST_F(RenderOutputs, AFailedFaststartKeepsTheMovieAtTheLinksTarget) {
    ASSERT_EQ(run_command(render(folder / "size.mp4")).status, 0);
    const uintmax_t size = (fs::file_size(folder / "size.mp4") * 3 / 2 + 4095) / 4096 * 4096;
    const std::string options = "size=" + std::to_string(size);
    const fs::path small = folder / "small";
    fs::create_directories(small);
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, options.c_str()) != 0) GTEST_SKIP() << "mounting needs root";
    const CommandResult run = run_command(render(link_to("small/movie.mp4")));
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("kept without faststart"), std::string::npos) << run.out;
    EXPECT_TRUE(fs::is_symlink(folder / "link.mp4"));
    EXPECT_EQ(probe::read((small / "movie.mp4").string()).video_frames, 30);
    EXPECT_FALSE(has_temporary_file(small));
    umount2(small.c_str(), MNT_DETACH);
}

// Two outputs that differ only in their extension, beside files of the user's
// named as unfinished movies were named before and are named now: each movie
// is written under a name of its own, and no file of the user's is touched.
TEST_F(RenderOutputs, AnUnfinishedMovieNeverTakesAnotherFilesName) {
    const std::vector<std::string> own = {"take_SlowStart.mov", "take_Unfinished.mp4"};
    for (const std::string& name : own) std::ofstream(folder / name) << "the user's own";
    for (const char* container : {"mp4", "mov"}) {
        const fs::path movie = folder / (std::string("take.") + container);
        const CommandResult run =
            run_command(render(movie, std::string(" --set klavformat=") + container + " --set klavfaststart=on"));
        EXPECT_EQ(run.status, 0) << run.out;
        EXPECT_EQ(probe::read(movie.string()).video_frames, 30);
        EXPECT_TRUE(index_in_front(movie.string()));
    }
    for (const std::string& name : own) {
        std::ostringstream kept;
        kept << std::ifstream(folder / name).rdbuf();
        EXPECT_EQ(kept.str(), "the user's own") << name;
    }
}

TEST_F(RenderOutputs, ADirectoryIsRefusedAndLeftEmpty) {
    fs::create_directories(folder / "out.mp4");
    const CommandResult run = run_command(render(folder / "out.mp4"));
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.out.find("QelFFmpegWriter: output path is a directory"), std::string::npos) << run.out;
    EXPECT_TRUE(fs::is_empty(folder / "out.mp4"));
    EXPECT_FALSE(has_temporary_file(folder));
}

using SignalCase = std::pair<int, int>;  // the signal, the exit code it leads to

class RenderSignals : public testing::TestWithParam<SignalCase> {};

TEST_P(RenderSignals, TheOutputIsFinishedWithEveryFrameSoFar) {
    const auto [signal, exitCode] = GetParam();
    const fs::path folder = fresh_folder(std::string("signal_") + strsignal(signal));
    const fs::path movie = folder / "take.mp4";
    const pid_t render = fork();
    if (render == 0) {
        const std::string command = "exec " + QELHOST + " render --frames 100000 --size 320x240 -o '" +
                                    movie.string() + "' > '" + (folder / "log").string() + "' 2>&1";
        execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
        _exit(127);
    }
    ASSERT_GT(render, 0);
    // Until frames are reaching the (temporary) file, or the render has ended;
    // should neither come, ctest's timeout ends the test.
    siginfo_t ended{};
    std::error_code error;
    while ((fs::file_size(folder / "take_Unfinished.mp4", error) <= 64 * 1024 || error) &&
           waitid(P_PID, id_t(render), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 && ended.si_pid == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    kill(render, signal);
    int status = 0;
    waitpid(render, &status, 0);
    std::ostringstream log;
    log << std::ifstream(folder / "log").rdbuf();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == exitCode) << status << log.str();

    std::smatch found;
    const std::string text = log.str();
    ASSERT_TRUE(std::regex_search(text, found, std::regex("interrupted after ([0-9]+) of 100000 frames"))) << text;
    const probe::File file = probe::read(movie.string());
    EXPECT_GT(std::stoi(found[1]), 0);
    EXPECT_EQ(file.video_frames, std::stoi(found[1]));
    EXPECT_LT(std::abs(file.audio_seconds() - file.video_seconds), 1.0 / 25)
        << "audio " << file.audio_seconds() << " s, video " << file.video_seconds << " s";
    EXPECT_TRUE(index_in_front(movie.string()));
    EXPECT_FALSE(has_temporary_file(folder));
}

INSTANTIATE_TEST_SUITE_P(, RenderSignals,
                         testing::Values(SignalCase{SIGINT, 130}, SignalCase{SIGTERM, 143}, SignalCase{SIGHUP, 129}),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param.first)); });

struct CrashCase {
    const char* name;
    const char* container;
    const char* encoders;  // --set of the video and audio encoders
    bool fastStart;
    // Frame requests; 0: halfway through the copy at the finish. After 60,
    // x264's last batch is shown past the decode time it was cut at: sound
    // cut there too would end short of the pictures.
    int crashAfter;
};
void PrintTo(const CrashCase& c, std::ostream* out) { *out << c.name; }

class RenderCrashes : public testing::TestWithParam<CrashCase> {};

std::string text_of(const fs::path& path) {
    const Bytes bytes = read_file(path.string());
    return std::string(bytes.begin(), bytes.end());
}

// A host that dies leaves a movie FFmpeg, GStreamer and MediaInfo play: every
// frame sent but what the encoders held and half a second more, with its sound
// and its timecode. It is found by its name, an earlier take keeps its own, and
// the next render of that name keeps it too.
TEST_P(RenderCrashes, WhatIsLeftPlaysAndIsKept) {
    const CrashCase& c = GetParam();
    const fs::path folder = fresh_folder(std::string("crash_") + c.name);
    const std::string extension = std::string(c.container) == "matroska" ? "mkv" : c.container;
    const bool quickTime = extension == "mov" || extension == "mp4";
    const fs::path movie = folder / ("take." + extension), left = folder / ("take_Unfinished." + extension);
    { std::ofstream(movie) << "an earlier take"; }
    const std::string job = QELHOST + " render --size 320x240 --timecode 01:00:00:00 --set klavformat=" + c.container +
                            c.encoders + (quickTime ? std::string(" --set klavfaststart=") + (c.fastStart ? "on" : "off") : "") +
                            " -o '" + movie.string() + "'";
    const CommandResult crashed =
        run_command(job + " --frames 150 " +
                    (c.crashAfter ? "--crash-after " + std::to_string(c.crashAfter) : std::string("--crash-in-finish")));
    ASSERT_EQ(crashed.status, 128 + SIGKILL) << crashed.out;
    EXPECT_EQ(text_of(movie), "an earlier take");

    const probe::File file = probe::read(left.string());
    ASSERT_TRUE(file.opened) << file.error_text();
    // The encoder had handed over all it was sent but what it holds.
    const std::string encoder = std::strstr(c.encoders, "klavvideocodec=") + 15;
    const int held = c.crashAfter > 25 ? probe::encoder_delay(encoder.substr(0, encoder.find(' ')), file) : 0;
    ASSERT_GE(held, 0) << "the encoder's delay could not be measured";
    const int expected = c.crashAfter ? std::max(0, c.crashAfter - held - 25) : 150;
    EXPECT_GE(file.video_frames, expected) << c.crashAfter - held << " handed over";
    if (file.video_frames > 0) {
        EXPECT_LE(std::abs(file.audio_seconds() - file.video_frames / 25.0), 1.0 / 25 + 1e-9);
        EXPECT_EQ(file.tag("timecode"), "01:00:00:00");
    }
    if (quickTime && expected > 0) {
        EXPECT_GE(gstreamer_frames(left.string(), 320, 240), expected);
        EXPECT_GE(mediainfo_frames(left.string()), expected);
    }

    const std::string kept = text_of(left);
    const CommandResult next = run_command(job + " --frames 5");
    EXPECT_EQ(next.status, 0) << next.out;
    EXPECT_NE(next.out.find("[warning] QelFFmpegWriter: <" + left.string() + "> holds a render"), std::string::npos)
        << next.out;
    EXPECT_EQ(text_of(left), kept);
    EXPECT_EQ(probe::read(movie.string()).video_frames, 5);
    // Finished, it is the ordinary movie it always was: no fragment at the top,
    // the index in front with faststart, edit lists and the timecode track.
    if (quickTime) {
        const Bytes finished = read_file(movie.string());
        const std::vector<std::string> atoms = types_of(top_level(finished));
        EXPECT_EQ(std::count(atoms.begin(), atoms.end(), "moof"), 0);
        EXPECT_EQ(index_in_front(movie.string()), c.fastStart);
        for (const std::string box : {"elst", "tmcd"})
            EXPECT_NE(std::search(finished.begin(), finished.end(), box.begin(), box.end()), finished.end()) << box;
    }
}

const char* const X264_AAC = " --set klavvideocodec=libx264 --set klavaudiocodec=aac";
const char* const PRORES_PCM = " --set klavvideocodec=prores_ks --set klavaudiocodec=pcm_s16le";

INSTANTIATE_TEST_SUITE_P(
    , RenderCrashes,
    testing::Values(CrashCase{"mov_x264_early", "mov", X264_AAC, false, 12},
                    CrashCase{"mov_x264_middle", "mov", X264_AAC, false, 60},
                    CrashCase{"mov_x264_faststart_early", "mov", X264_AAC, true, 12},
                    CrashCase{"mov_x264_faststart_middle", "mov", X264_AAC, true, 100},
                    CrashCase{"mov_x264_faststart_finish", "mov", X264_AAC, true, 0},
                    CrashCase{"mov_prores_early", "mov", PRORES_PCM, false, 12},
                    CrashCase{"mov_prores_middle", "mov", PRORES_PCM, false, 100},
                    CrashCase{"mov_prores_faststart_early", "mov", PRORES_PCM, true, 12},
                    CrashCase{"mov_prores_faststart_middle", "mov", PRORES_PCM, true, 100},
                    CrashCase{"mov_prores_faststart_finish", "mov", PRORES_PCM, true, 0},
                    // ProRes and PCM are not offered in mp4.
                    CrashCase{"mp4_x264_early", "mp4", X264_AAC, false, 12},
                    CrashCase{"mp4_x264_middle", "mp4", X264_AAC, false, 60},
                    CrashCase{"mp4_x264_faststart_early", "mp4", X264_AAC, true, 12},
                    CrashCase{"mp4_x264_faststart_middle", "mp4", X264_AAC, true, 100},
                    CrashCase{"mp4_x264_faststart_finish", "mp4", X264_AAC, true, 0},
                    // x264 gives nothing in the first second: a Matroska file without media does not open.
                    CrashCase{"matroska_early", "matroska", " --set klavvideocodec=ffv1 --set klavaudiocodec=pcm_s16le",
                              false, 12},
                    CrashCase{"matroska_middle", "matroska", X264_AAC, false, 60},
                    CrashCase{"mxf_early", "mxf", " --set klavvideocodec=mpeg2video --set klavaudiocodec=pcm_s16le", false, 12},
                    CrashCase{"mxf_middle", "mxf", " --set klavvideocodec=mpeg2video --set klavaudiocodec=pcm_s16le", false, 100}),
    row_name<CrashCase>);

}  // namespace
