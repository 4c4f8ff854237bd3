// libFuzzer target: what a host and a project bring, from the bytes -- the
// panel's stored values, the sound the host says it has, and a few frame
// requests (frame numbers, rates, sizes, channels, texts) -- through the
// module's action entry as the stand-in host drives it. Besides the
// sanitizers it checks what the module promises a host: a refused request
// says why in the host's log, and nothing is written but the output's own
// names.
#include "base/log.h"
#include "base/qel_abi.h"
#include "host/harness/standin_host.h"

#include <fuzzer/FuzzedDataProvider.h>

extern "C" {
#include <libavutil/log.h>
}

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <vector>
#include <string>

extern "C" {
extern QEL_InfoRecord QEL_Info;
bool QEL_KorvexAction(QEL_Host* host, uint32_t action, void* params);
}

namespace {

namespace fs = std::filesystem;

fs::path g_dir;
std::shared_ptr<qelhost::Module> g_module;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();
const double NUMBERS[] = {0, -1, -0.5, 0.5, 1, 2, 23.976, 24, 25, 29.97, 30, 50, 59.94, 60, 120, 1000,
                          8000, 44100, 48000, 96000, 192000, 1e9, 4294967296.0, 9.3e18, 1e300, -1e300,
                          NaN, INF, -INF};
const int32_t INTEGERS[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 15, 16, 17, 24, 31, 32, 33, 48, 64, 65, 255,
                            256, 4097, 65536, INT_MAX, INT_MIN, -1, -2};
// Largest picture the stand-in host draws (samples); a larger request gets
// no pixels from it, as from a host that has none to give.
constexpr int64_t MAX_PICTURE_SAMPLES = int64_t(1) << 20;

double number(FuzzedDataProvider& in) {
    return in.ConsumeBool() ? in.PickValueInArray(NUMBERS) : in.ConsumeFloatingPoint<double>();
}

int32_t integer(FuzzedDataProvider& in) {
    return in.ConsumeBool() ? in.PickValueInArray(INTEGERS) : in.ConsumeIntegral<int32_t>();
}

// A file name in the scratch folder: at times longer than any path the
// record may carry.
std::string output_name(FuzzedDataProvider& in) {
    std::string name;
    for (char c : in.ConsumeRandomLengthString(400))
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-') name += c;
    if (in.ConsumeBool()) name += in.PickValueInArray({".mov", ".mp4", ".mkv", ".mxf", ".avi", ".webm", ""});
    return name;
}

std::string stem_of(const std::string& name) { return name.substr(0, name.rfind('.')); }

[[noreturn]] void finding(const std::string& what) {
    std::fprintf(stderr, "request_fuzz: %s\n", what.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = (fs::exists("/dev/shm") ? std::string("/dev/shm") : std::string(base ? base : "/tmp")) +
                          "/qel_request_fuzz_XXXXXX";
    if (!mkdtemp(pattern.data())) std::abort();
    g_dir = pattern;
    std::atexit([] { fs::remove_all(g_dir); });
    g_module = qelhost::Module::linked(&QEL_Info, &QEL_KorvexAction);
    // FFmpeg's log is the host's; this one reads none of it.
    av_log_set_level(AV_LOG_QUIET);
    return 0;
}

// One frame request as the bytes give it; the picture is drawn at its size.
struct Request {
    double frame, fps;
    int32_t width, height, channels, image_format, field_order;
    bool direct;
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The requests first, so that short inputs reach them; the panel's stored
    // values last, each left as built once the bytes run out.
    FuzzedDataProvider in(data, size);
    std::string name = output_name(in);
    if (stem_of(name).empty()) name = "out" + name;
    const std::string path = (g_dir / name).string();
    const std::string timecode = in.ConsumeRandomLengthString(in.ConsumeBool() ? 5000 : 16);
    const std::string reel = in.ConsumeRandomLengthString(300);
    const bool hasReel = in.ConsumeBool();
    std::vector<Request> requests;
    Request r{0, 25, 64, 48, 4, 0, 0, true};
    for (int n = in.ConsumeIntegralInRange(1, 4); n > 0; --n) {
        if (in.ConsumeBool()) r.frame = number(in);
        if (in.ConsumeBool()) r.fps = number(in);
        if (in.ConsumeBool()) r.width = integer(in);
        if (in.ConsumeBool()) r.height = integer(in);
        if (in.ConsumeBool()) r.channels = in.PickValueInArray({3, 4, 0, 1, 5, -1, 16});
        if (in.ConsumeBool()) r.image_format = integer(in);
        if (in.ConsumeBool()) r.field_order = integer(in);
        r.direct = !in.ConsumeBool();
        requests.push_back(r);
        r.frame += 1;
    }
    std::optional<qelhost::AudioClip> sound;
    if (in.ConsumeBool()) {
        sound = qelhost::AudioClip::tone();
        sound->rate = number(in);
        sound->bits = integer(in);
        sound->bytes = integer(in);
        sound->channels = integer(in);
        sound->flags = integer(in);
    }

    qelhost::HostOptions options;
    options.echo_log = false;
    auto host = std::make_unique<qelhost::StandinHost>(g_module, options);
    if (!host->init()) finding("INIT failed");
    host->node().audio = sound;
    for (const qelhost::Control& control : std::vector<qelhost::Control>(host->controls().all()))
        if (!control.identifier.empty() && in.ConsumeBool())
            host->controls().set_value(control.identifier, control.kind == qelhost::ControlKind::Toggle
                                                               ? double(in.ConsumeBool())
                                                               : double(integer(in)));
    host->restore();

    for (const Request& request : requests) {
        std::unique_ptr<qelhost::Picture> picture;
        const bool drawn = request.width > 0 && request.height > 0 && request.channels > 0 &&
                           double(request.width) * request.height * request.channels <= double(MAX_PICTURE_SAMPLES);
        if (drawn) picture = std::make_unique<qelhost::Picture>(request.width, request.height, request.channels,
                                                                 request.direct);
        QEL_FrameParams params{};
        params.frame = request.frame;
        params.image = picture ? picture->image() : nullptr;
        params.width = request.width;
        params.height = request.height;
        params.channels = request.channels;
        params.image_format = request.image_format;
        params.path = path.c_str();
        params.timecode = timecode.c_str();
        params.reel_id = hasReel ? reel.c_str() : nullptr;
        params.fps = request.fps;
        params.field_order = request.field_order;
        const size_t errors = host->log().count(LOG_ERROR);
        if (!host->process(params) && host->log().count(LOG_ERROR) == errors)
            finding("a request was refused without a word");
    }
    QEL_FrameParams last{};
    const size_t errors = host->log().count(LOG_ERROR);
    if (!host->process(last) && host->log().count(LOG_ERROR) == errors) finding("the finish failed without a word");
    if (!host->exit()) finding("EXIT failed");
    if (!host->faults().empty()) finding("the host's contract was broken: " + host->faults().list().front());
    host.reset();

    // Only the output's own names: the movie, its unfinished name, its segments.
    const std::string stem = stem_of(name);
    for (const fs::directory_entry& entry : fs::directory_iterator(g_dir)) {
        const std::string written = entry.path().filename().string();
        if (written.compare(0, stem.size(), stem) != 0)
            finding("wrote " + written + " for the output " + name);
    }
    for (const fs::directory_entry& entry : fs::directory_iterator(g_dir)) fs::remove_all(entry.path());
    return 0;
}
