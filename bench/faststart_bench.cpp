// Faststart conversion of a movie of more than 1 GiB, timed against `cp` of
// the same file and FFmpeg's own faststart remux, in the same run.
//
//   faststart_bench [work folder]   (default /tmp/qel_faststart_bench)
//
// The input is generated once with ffmpeg (raw video, so that it is big and
// quick to make) and kept in the work folder for the next run.
#include "faststart/faststart.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

constexpr int ROUNDS = 7;
constexpr long long MIN_SIZE = 1ll << 30;

long long file_size(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (long long)st.st_size : -1;
}

bool shell(const std::string& command) { return std::system(command.c_str()) == 0; }

double seconds(const std::function<bool()>& step) {
    // Earlier output still being written back must not slow this step down.
    shell("sync");
    const auto start = std::chrono::steady_clock::now();
    if (!step()) {
        std::fprintf(stderr, "step failed\n");
        std::exit(1);
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double best(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

void report(const char* name, const std::vector<double>& t, const std::vector<double>& cp) {
    std::printf("%-28s median %7.3f s (%.2fx cp)   best %7.3f s (%.2fx cp)\n", name, median(t), median(t) / median(cp),
                best(t), best(t) / best(cp));
}

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : "/tmp/qel_faststart_bench";
    const std::string in = dir + "/input.mov";
    const std::string out = dir + "/output.mov";
    shell("mkdir -p '" + dir + "'");
    if (file_size(in) < MIN_SIZE) {
        std::printf("generating %s ...\n", in.c_str());
        if (!shell("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1280x720:rate=25 "
                   "-f lavfi -i sine=sample_rate=48000 -t 32.8 -c:v rawvideo -pix_fmt yuv420p "
                   "-c:a pcm_s16le '" + in + "'") ||
            file_size(in) < MIN_SIZE) {
            std::fprintf(stderr, "could not generate the input\n");
            return 1;
        }
    }
    const long long size = file_size(in);
    shell("cat '" + in + "' > /dev/null");  // same page-cache state for everyone

    std::vector<double> cp, ours, ffmpeg;
    for (int round = 0; round < ROUNDS; ++round) {
        std::remove(out.c_str());
        cp.push_back(seconds([&] { return shell("cp '" + in + "' '" + out + "'"); }));
        std::remove(out.c_str());
        ours.push_back(seconds([&] { return faststart::convert(in.c_str(), out.c_str(), nullptr); }));
        std::remove(out.c_str());
        ffmpeg.push_back(seconds([&] {
            return shell("ffmpeg -nostdin -v error -y -i '" + in + "' -map 0 -c copy -movflags +faststart '" + out + "'");
        }));
    }
    std::remove(out.c_str());

    std::printf("input: %s, %.2f GiB; %d rounds\n", in.c_str(), double(size) / (1 << 30), ROUNDS);
    report("cp", cp, cp);
    report("faststart::convert", ours, cp);
    report("ffmpeg -c copy +faststart", ffmpeg, cp);
    std::printf("faststart::convert / ffmpeg: median %.2f, best %.2f\n", median(ours) / median(ffmpeg),
                best(ours) / best(ffmpeg));
    return 0;
}
