// A power cut at any point of a render or a join: the file-system calls the
// program makes are recorded (strace), and for every cut point every state a
// disk may then hold under the strict model is built: of what a file was
// given after its last fsync or fdatasync any may be lost, and of the names
// made, replaced or removed in a folder after its last fsync any may be lost.
// In every state the output's name must hold the earlier take or the new
// movie, whole.
#include "common/media_probe.h"
#include "common/run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string BUILD = QEL_BUILD_DIR;
const std::string EARLIER_TAKE = "an earlier take\n";

// One recorded call: the syscall's name, its arguments as strace printed
// them (strings decoded) and its result.
struct Call {
    std::string name;
    std::vector<std::string> args;
    long long result = -1;
};

std::string decode_hex(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() + 1 && text[i + 1] == 'x') {
            out += char(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

// Top-level arguments: strings come hex-escaped (-xx), so a comma is always a separator.
std::vector<std::string> split_args(const std::string& inside) {
    std::vector<std::string> args;
    std::string current;
    int depth = 0;
    for (char c : inside) {
        if (c == '[' || c == '{' || c == '(') ++depth;
        if (c == ']' || c == '}' || c == ')') --depth;
        if (c == ',' && depth == 0) {
            args.push_back(current);
            current.clear();
            continue;
        }
        if (!(c == ' ' && current.empty())) current += c;
    }
    if (!current.empty()) args.push_back(current);
    for (std::string& arg : args) {
        // An fd printed with its path (-y): the number is what counts.
        const size_t angle = arg.find('<');
        if (angle != std::string::npos && angle > 0 && std::isdigit(static_cast<unsigned char>(arg[0])))
            arg = arg.substr(0, angle);
        if (arg.size() >= 2 && arg.front() == '"') arg = decode_hex(arg.substr(1, arg.rfind('"') - 1));
    }
    return args;
}

std::vector<Call> read_calls(const std::string& logPath) {
    std::ifstream in(logPath);
    std::map<std::string, std::string> unfinished;  // by pid
    std::vector<Call> calls;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string pid;
        fields >> pid;
        std::string rest = line.substr(line.find(pid) + pid.size());
        rest.erase(0, rest.find_first_not_of(' '));
        if (rest.rfind("<... ", 0) == 0) {
            const size_t resumed = rest.find("resumed>");
            if (resumed == std::string::npos) continue;
            rest = unfinished[pid] + rest.substr(resumed + 8);
        }
        const size_t cut = rest.find(" <unfinished ...>");
        if (cut != std::string::npos) {
            unfinished[pid] = rest.substr(0, cut);
            continue;
        }
        // strace pads the result to a column: "close(3)        = 0".
        const size_t open = rest.find('('), equals = rest.rfind(" = ");
        const size_t close = equals == std::string::npos ? equals : rest.rfind(')', equals);
        if (open == std::string::npos || close == std::string::npos || close < open) continue;
        Call call;
        call.name = rest.substr(0, open);
        call.args = split_args(rest.substr(open + 1, close - open - 1));
        call.result = std::atoll(rest.c_str() + equals + 3);
        calls.push_back(call);
    }
    return calls;
}

// A file's bytes: what it holds now, and what it is sure to hold after a cut.
struct Inode {
    std::string now;
    std::string durable;
};
struct Disk {
    std::vector<Inode> inodes;
    std::map<std::string, int> names;         // path -> inode, as the program sees them
    std::map<std::string, int> durableNames;  // as the disk is sure to hold them
};
// A change of names after the folder's last flush: applied or lost.
struct NameChange {
    std::string from, to;  // rename or link: from -> to; create: to; remove: from
    enum Kind { Create, Rename, Link, Remove } kind;
    int inode = -1;
};

std::string folder_of(const std::string& path) { return fs::path(path).parent_path().string(); }

void apply_change(std::map<std::string, int>& names, const NameChange& change) {
    switch (change.kind) {
    case NameChange::Create: names[change.to] = change.inode; break;
    case NameChange::Link: names[change.to] = change.inode; break;
    case NameChange::Rename:
        if (names.count(change.from)) {
            names[change.to] = names[change.from];
            names.erase(change.from);
        }
        break;
    case NameChange::Remove: names.erase(change.from); break;
    }
}

struct Outcome {
    int states = 0;
    int lessThanWhole = 0;
    std::string firstBad;
    // What the unfinished movie surely held at each of its flushes, in order.
    std::vector<std::string> leftoverFlushes;
};

// Replays the calls on a model disk; at every cut point, every state a
// strict disk may hold is held against the output's two whole contents.
Outcome explore(const std::vector<Call>& calls, const std::string& folder, const std::string& output,
                const std::string& finished) {
    Disk disk;
    disk.inodes.push_back({EARLIER_TAKE, EARLIER_TAKE});
    disk.names[output] = disk.durableNames[output] = 0;
    std::map<long long, int> fds;        // fd -> inode
    std::map<long long, int64_t> offsets;  // fd -> position of write()
    std::map<long long, std::string> folderFds;
    std::vector<NameChange> pending;  // after the folder's last flush
    int leftover = -1;                // the movie under its unfinished name
    Outcome outcome;
    const auto under = [&](const std::string& path) { return path.rfind(folder + "/", 0) == 0 || path == folder; };
    const auto cut_here = [&](size_t at) {
        // Every file either kept all it was given since its last flush or
        // lost it; every pending change of names either applied or lost.
        std::vector<int> unsynced;
        for (size_t i = 0; i < disk.inodes.size(); ++i)
            if (disk.inodes[i].now != disk.inodes[i].durable) unsynced.push_back(int(i));
        const size_t dataStates = size_t(1) << unsynced.size(), nameStates = size_t(1) << pending.size();
        for (size_t data = 0; data < dataStates; ++data)
            for (size_t kept = 0; kept < nameStates; ++kept) {
                ++outcome.states;
                std::map<std::string, int> names = disk.durableNames;
                for (size_t c = 0; c < pending.size(); ++c)
                    if (kept & (size_t(1) << c)) apply_change(names, pending[c]);
                const auto found = names.find(output);
                std::string held = "(no file)";
                if (found != names.end()) {
                    const int inode = found->second;
                    bool lost = false;
                    for (size_t u = 0; u < unsynced.size(); ++u)
                        if (unsynced[u] == inode && !(data & (size_t(1) << u))) lost = true;
                    held = lost ? disk.inodes[size_t(inode)].durable : disk.inodes[size_t(inode)].now;
                }
                if (held == EARLIER_TAKE || held == finished) continue;
                if (++outcome.lessThanWhole == 1)
                    outcome.firstBad = "after call " + std::to_string(at) + " (" + calls[at].name + "): the name holds " +
                                       std::to_string(held.size()) + " bytes";
            }
    };
    for (size_t at = 0; at < calls.size(); ++at) {
        const Call& call = calls[at];
        const auto& a = call.args;
        bool touched = false;
        if ((call.name == "openat" || call.name == "open") && call.result >= 0 && a.size() >= 3) {
            const std::string path = call.name == "openat" ? a[1] : a[0];
            // Raw numbers (-X raw): O_TMPFILE, O_DIRECTORY and O_TRUNC of x86-64 Linux.
            const long long flags = std::strtoll((call.name == "openat" ? a[2] : a[1]).c_str(), nullptr, 0);
            const bool unnamed = flags & 0x400000, folderOnly = (flags & 0x10000) && !unnamed, truncated = flags & 0x200;
            if (!under(path)) continue;
            touched = true;
            if (folderOnly) {
                folderFds[call.result] = path;
                continue;
            }
            if (unnamed) {
                disk.inodes.push_back({});
                fds[call.result] = int(disk.inodes.size() - 1);
            } else if (disk.names.count(path)) {
                fds[call.result] = disk.names[path];
                if (truncated) disk.inodes[size_t(fds[call.result])].now.clear();
            } else {
                disk.inodes.push_back({});
                const int inode = int(disk.inodes.size() - 1);
                if (leftover < 0 && path.find("_Unfinished") != std::string::npos) leftover = inode;
                fds[call.result] = inode;
                disk.names[path] = inode;
                pending.push_back({"", path, NameChange::Create, inode});
            }
            offsets[call.result] = 0;
        } else if ((call.name == "write" || call.name == "pwrite64") && !a.empty() && fds.count(std::atoll(a[0].c_str()))) {
            touched = true;
            const long long fd = std::atoll(a[0].c_str());
            if (call.result <= 0) continue;
            const std::string bytes = a[1].substr(0, size_t(call.result));
            const int64_t at_ = call.name == "pwrite64" ? std::atoll(a[3].c_str()) : offsets[fd];
            std::string& now = disk.inodes[size_t(fds[fd])].now;
            if (now.size() < size_t(at_) + bytes.size()) now.resize(size_t(at_) + bytes.size());
            now.replace(size_t(at_), bytes.size(), bytes);
            if (call.name == "write") offsets[fd] = at_ + int64_t(bytes.size());
        } else if (call.name == "lseek" && !a.empty() && fds.count(std::atoll(a[0].c_str())) && call.result >= 0) {
            offsets[std::atoll(a[0].c_str())] = call.result;
        } else if (call.name == "ftruncate" && a.size() >= 2 && fds.count(std::atoll(a[0].c_str())) && call.result == 0) {
            touched = true;
            disk.inodes[size_t(fds[std::atoll(a[0].c_str())])].now.resize(size_t(std::atoll(a[1].c_str())));
        } else if ((call.name == "fsync" || call.name == "fdatasync") && !a.empty() && call.result == 0) {
            const long long fd = std::atoll(a[0].c_str());
            if (fds.count(fd)) {
                touched = true;
                Inode& inode = disk.inodes[size_t(fds[fd])];
                inode.durable = inode.now;
                if (fds[fd] == leftover) outcome.leftoverFlushes.push_back(inode.durable);
            } else if (folderFds.count(fd)) {
                // The folder's names are on the disk as the program sees them.
                touched = true;
                const std::string flushed = folderFds[fd];
                std::vector<NameChange> still;
                for (const NameChange& change : pending) {
                    const bool here = folder_of(change.kind == NameChange::Remove ? change.from : change.to) == flushed;
                    if (here) apply_change(disk.durableNames, change);
                    else still.push_back(change);
                }
                pending = still;
            }
        } else if (call.name == "close" && !a.empty()) {
            fds.erase(std::atoll(a[0].c_str()));
            folderFds.erase(std::atoll(a[0].c_str()));
        } else if ((call.name == "rename" || call.name == "renameat" || call.name == "renameat2") && call.result == 0) {
            const std::string from = call.name == "rename" ? a[0] : a[1], to = call.name == "rename" ? a[1] : a[3];
            if (!under(from) && !under(to)) continue;
            touched = true;
            NameChange change{from, to, NameChange::Rename, disk.names.count(from) ? disk.names[from] : -1};
            apply_change(disk.names, change);
            pending.push_back(change);
        } else if ((call.name == "linkat" || call.name == "link") && call.result == 0) {
            const std::string from = call.name == "link" ? a[0] : a[1], to = call.name == "link" ? a[1] : a[3];
            if (!under(to)) continue;
            touched = true;
            int inode = -1;
            if (from.rfind("/proc/self/fd/", 0) == 0) {
                const long long fd = std::atoll(from.c_str() + 14);
                if (fds.count(fd)) inode = fds[fd];
            } else if (disk.names.count(from)) {
                inode = disk.names[from];
            }
            if (inode < 0) continue;
            NameChange change{from, to, NameChange::Link, inode};
            apply_change(disk.names, change);
            pending.push_back(change);
        } else if ((call.name == "unlink" || call.name == "unlinkat") && call.result == 0) {
            const std::string path = call.name == "unlink" ? a[0] : a[1];
            if (!under(path)) continue;
            touched = true;
            NameChange change{path, "", NameChange::Remove, -1};
            apply_change(disk.names, change);
            pending.push_back(change);
        }
        if (touched) cut_here(at);
    }
    return outcome;
}

struct PowerCutRow {
    const char* name;
    const char* output;
    const char* arguments;  // qelhost render, or (with a leading '+') the commands before a qeljoin
};
void PrintTo(const PowerCutRow& row, std::ostream* out) { *out << row.name; }

// Longer than two flushes of the render's cadence (ten seconds of media).
constexpr int FRAMES = 600;
const std::string CLIP = "--frames 600 --size 160x120 --audio-channels 2 ";
const PowerCutRow ROWS[] = {
    {"Mov", "m.mov", "--set klavformat=mov --set klavfaststart=0"},
    {"MovFaststart", "m.mov", "--set klavformat=mov --set klavfaststart=1"},
    {"Mp4", "m.mp4", "--set klavformat=mp4 --set klavfaststart=1"},
    {"Matroska", "m.mkv", "--set klavformat=matroska"},
    {"Mxf", "m.mxf", "--set klavformat=mxf --set klavvideocodec=mpeg2video --set klavaudiocodec=pcm_s16le"},
    {"Join", "j.mov", "+--set klavformat=mov --set klavvideocodec=prores_ks --set klavaudiocodec=pcm_s16le"},
};

class PowerCut : public ::testing::TestWithParam<PowerCutRow> {
protected:
    void SetUp() override {
        dir = (fs::temp_directory_path() / ("qel-powercut-" + std::to_string(getpid()) + "-" + GetParam().name)).string();
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override {
        if (!HasFailure()) fs::remove_all(dir);
    }
    std::string dir;
};

}  // namespace

TEST_P(PowerCut, TheNameHoldsTheEarlierTakeOrTheNewMovieWhole) {
    const PowerCutRow& row = GetParam();
    const std::string output = dir + "/" + row.output;
    const std::string host = "'" + BUILD + "/qelhost' render " + CLIP;
    std::string command = host + row.arguments + " -o '" + output + "'";
    if (row.arguments[0] == '+') {
        const std::string settings = std::string(row.arguments + 1) + " --set klavsegment=1";
        for (const char* range : {"0-299", "300-599"})
            ASSERT_EQ(run_command(host + settings + " --range " + range + " -o '" + output + "' >/dev/null").status, 0);
        command = "'" + BUILD + "/qeljoin' '" + output + "' --frames " + std::to_string(FRAMES);
    }
    { std::ofstream(output) << EARLIER_TAKE; }
    const std::string log = dir + "/calls.log";
    const CommandResult traced =
        // LeakSanitizer cannot work under ptrace: the sanitizer build's leaks
        // are the other tests' to find.
        run_command("ASAN_OPTIONS=detect_leaks=0 strace -f -qq -X raw -xx -s 16777216 -o '" + log +
                    "' -e trace=open,openat,write,pwrite64,lseek,ftruncate,fsync,fdatasync,close,rename,renameat,"
                    "renameat2,link,linkat,unlink,unlinkat " + command + " >/dev/null");
    ASSERT_EQ(traced.status, 0) << traced.out;
    std::ifstream in(output, std::ios::binary);
    const std::string finished((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_NE(finished, EARLIER_TAKE);
    const Outcome outcome = explore(read_calls(log), dir, output, finished);
    RecordProperty("states", outcome.states);
    RecordProperty("less_than_whole", outcome.lessThanWhole);
    std::printf("%s: %d states after cuts, %d with less than a whole movie under its name\n", row.name,
                outcome.states, outcome.lessThanWhole);
    EXPECT_GT(outcome.states, 10);
    EXPECT_EQ(outcome.lessThanWhole, 0) << outcome.firstBad;

    // A cut between two flushes loses what came after the first: at most
    // the cadence's ten seconds and what the encoders held back.
    int64_t before = 0, worst = 0;
    std::string sizes;
    for (const std::string& flushed : outcome.leftoverFlushes) {
        const std::string copy = dir + "/flushed" + fs::path(output).extension().string();
        { std::ofstream(copy, std::ios::binary) << flushed; }
        const int64_t frames = probe::read(copy).video_frames;
        worst = std::max(worst, frames - before);
        before = std::max(before, frames);
        sizes += std::to_string(frames) + " ";
    }
    worst = std::max(worst, FRAMES - before);
    std::printf("%s: frames readable at each flush of the unfinished movie: %s; at the worst cut %lld lost\n", row.name,
                sizes.c_str(), (long long)worst);
    RecordProperty("frames_lost_at_worst_cut", int(worst));
    EXPECT_GE(outcome.leftoverFlushes.size(), 2u);
    EXPECT_LE(worst, 10 * 25 + 100);
}

INSTANTIATE_TEST_SUITE_P(Rows, PowerCut, ::testing::ValuesIn(ROWS),
                         [](const auto& info) { return std::string(info.param.name); });
