// libFuzzer target: any bytes as a movie file through the faststart
// conversion. Besides the sanitizers it checks what the conversion promises:
// a refusal leaves no output, a success keeps every byte (same size).
#include "faststart/faststart.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string g_dir;
std::string g_in;
std::string g_out;

void remove_dir() {
    std::remove(g_in.c_str());
    std::remove(g_out.c_str());
    rmdir(g_dir.c_str());
}

int64_t file_size(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? int64_t(st.st_size) : -1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Memory-backed when the machine has it: every run writes two files.
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
    std::string pattern = base + "/qel_faststart_fuzz_XXXXXX";
    if (!mkdtemp(pattern.data())) std::abort();
    g_dir = pattern;
    g_in = g_dir + "/in.mov";
    g_out = g_dir + "/out.mov";
    std::atexit(remove_dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* in = std::fopen(g_in.c_str(), "wb");
    if (!in) std::abort();
    if (size && std::fwrite(data, 1, size, in) != size) std::abort();
    std::fclose(in);

    const bool ok = faststart::convert(g_in.c_str(), g_out.c_str(), nullptr);
    const int64_t outSize = file_size(g_out);
    if (ok && outSize != int64_t(size)) std::abort();
    if (!ok && outSize >= 0) std::abort();
    if (file_size(g_in) != int64_t(size)) std::abort();

    std::remove(g_in.c_str());
    std::remove(g_out.c_str());
    return 0;
}
