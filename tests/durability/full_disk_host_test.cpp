// A disk that fills: a real small file system (tmpfs) mounted by the test,
// filled in the middle of a render, at its finish, in the faststart rewrite (which needs
// room for a second copy) and in a join. The request fails saying so, what
// was written stays readable, a finished movie that cannot be rewritten in
// front stays finished under its name, and an earlier take stays whole.
#include "common/media_probe.h"
#include "common/run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const std::string BUILD = QEL_BUILD_DIR;
const std::string EARLIER_TAKE = "an earlier take\n";
const std::string CLIP = "--frames 150 --size 320x240 --set klavformat=mov --set klavvideocodec=prores_ks "
                         "--set klavaudiocodec=pcm_s16le ";

struct DiskRow {
    const char* name;
    const char* arguments;  // beside CLIP; "join" renders two segments and joins them
    double room;            // the file system's size, in single renders' sizes; 0: at the finish
                            // (between what a render has written when its finish begins and its movie)
    int status;             // of the command that meets the full disk
    bool named;             // a movie is left under the output's name
    const char* says;
};
void PrintTo(const DiskRow& row, std::ostream* out) { *out << row.name; }

const DiskRow ROWS[] = {
    {"InTheMiddle", "--set klavfaststart=0", 0.5, 1, false, "No space left on device"},
    {"AtTheFinish", "--set klavfaststart=0", 0, 1, false, "No space left on device"},
    {"InTheFaststartRewrite", "--set klavfaststart=1", 1.5, 0, true,
     "the movie is kept without faststart in"},
    {"InTheJoin", "join", 1.5, 1, false, "No space left on device"},
};

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class FullDisk : public ::testing::TestWithParam<DiskRow> {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system takes root";
        scratch = (fs::temp_directory_path() / ("qel-fulldisk-" + std::to_string(getpid()) + "-" + GetParam().name)).string();
        fs::remove_all(scratch);
        fs::create_directories(scratch + "/disk");
    }
    void TearDown() override {
        if (mounted) run_command("umount '" + disk() + "'");
        if (!HasFailure()) fs::remove_all(scratch);
    }
    std::string disk() const { return scratch + "/disk"; }
    bool mount(uint64_t bytes) {
        const uint64_t pages = (bytes + 4095) / 4096;
        mounted = run_command("mount -t tmpfs -o size=" + std::to_string(pages * 4096) + " qel-full '" + disk() + "'")
                      .status == 0;
        return mounted;
    }
    std::string scratch;
    bool mounted = false;
};

}  // namespace

TEST_P(FullDisk, TheRequestFailsSayingSoAndWhatWasWrittenStays) {
    const DiskRow& row = GetParam();
    const std::string host = "'" + BUILD + "/qelhost' render " + CLIP;
    const bool join = std::string(row.arguments) == "join";
    const std::string settings = join ? "--set klavfaststart=0" : row.arguments;
    // How much the movie takes, measured on a disk with room.
    ASSERT_EQ(run_command(host + settings + " -o '" + scratch + "/measured.mov' >/dev/null").status, 0);
    const uint64_t movie = fs::file_size(scratch + "/measured.mov");
    uint64_t room = uint64_t(double(movie) * row.room);
    probe::File beforeTheFinish;
    if (row.room == 0) {
        // A render ended right after its last frame request has written all but its finish.
        run_command(host + settings + " --crash-after 150 -o '" + scratch + "/crashed.mov' >/dev/null 2>&1");
        const uint64_t sent = fs::file_size(scratch + "/crashed_Unfinished.mov");
        ASSERT_GT(movie, sent + 4 * 4096) << "the finish writes too little to fall in it";
        beforeTheFinish = probe::read(scratch + "/crashed_Unfinished.mov");
        room = 4096 + (sent + movie) / 2;  // the earlier take's page beside it
    }
    if (!mount(room)) GTEST_SKIP() << "tmpfs cannot be mounted here";
    const std::string output = disk() + "/m.mov";
    { std::ofstream(output) << EARLIER_TAKE; }
    std::string command = host + settings + " -o '" + output + "' 2>&1";
    if (join) {
        for (const char* range : {"0-74", "75-149"})
            ASSERT_EQ(run_command(host + settings + " --set klavsegment=1 --range " + range + " -o '" + output +
                                  "' >/dev/null").status, 0);
        command = "'" + BUILD + "/qeljoin' '" + output + "' --frames 150 2>&1";
    }
    const CommandResult result = run_command(command);
    EXPECT_EQ(result.status, row.status) << result.out;
    // One line says it, naming the file.
    bool said = false;
    std::istringstream lines(result.out);
    for (std::string line; std::getline(lines, line);)
        said = said || (line.find(row.says) != std::string::npos && line.find(disk()) != std::string::npos);
    EXPECT_TRUE(said) << result.out;
    if (row.named) {
        // Finished, but with no room to move its index in front.
        const probe::File kept = probe::read(output, {false, 0, 0, true});
        EXPECT_EQ(kept.video_frames, 150) << kept.error_text();
    } else {
        EXPECT_TRUE(contents(output) == EARLIER_TAKE) << "the earlier take is gone";
    }
    if (join) {
        EXPECT_TRUE(fs::exists(output + ".segments/00000000.mov"));
        EXPECT_TRUE(fs::exists(output + ".segments/00000075.mov"));
    } else if (!row.named) {
        // What the render wrote before the disk filled decodes up to its last batch.
        const probe::File left = probe::read(disk() + "/m_Unfinished.mov");
        EXPECT_GT(left.video_frames, 0) << left.error_text();
        if (row.room == 0)
            EXPECT_GE(left.video_frames, beforeTheFinish.video_frames);
        else
            EXPECT_LT(left.video_frames, 150);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, FullDisk, ::testing::ValuesIn(ROWS),
                         [](const auto& info) { return std::string(info.param.name); });
