// What a disk or a host does to an output: a full disk, a folder that cannot be
// made or written, a size limit reached, a frame of another shape, a slice of
// sound too big to hold, control values outside every range, a missing suite.
// A request record or sound format that makes no sense. Each gets a message or
// a fallback; none crashes nor leaks.
#include "common/fd_count.h"
#include "requests/request_fixture.h"

#include <climits>
#include <csignal>
#include <fstream>
#include <functional>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

// The child ends with _exit, so LeakSanitizer's check at exit never sees it.
// Clang names AddressSanitizer by feature only.
#if defined(__SANITIZE_ADDRESS__)
#define QEL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QEL_ASAN 1
#endif
#endif
#ifdef QEL_ASAN
#include <sanitizer/lsan_interface.h>
#define LEAKS_NOW() (__lsan_do_recoverable_leak_check() != 0)
constexpr bool UNDER_ASAN = true;
#else
#define LEAKS_NOW() false
constexpr bool UNDER_ASAN = false;
#endif

namespace {

// What each bit of the child's exit code says went wrong.
const char* const CHILD_FAILURES[] = {"the failed output reported success", "no message named the cause",
                                      "a later request failed",             "a descriptor was left open",
                                      "memory was left behind",             "faststart could not be switched on",
                                      "the host saw a contract fault"};

constexpr uid_t NOBODY = 65534;

struct Fault {
    const char* name;
    std::string output;               // relative to the test's folder
    int frames;                       // sent to it, unless one good frame and then a spoilt one
    std::vector<std::string> causes;  // error lines the host must see
    std::function<bool()> in_child = [] { return true; };  // limits and identity; false if it cannot
    std::function<void(qelhost::FrameRequest&)> spoil = nullptr;
    bool spoilsFirst = false;  // the spoilt frame is the output's first: no file may be left
    // A file-size limit that falls in the finish of a render measured first:
    // the frames sent fit, the finish does not.
    bool shortAtTheFinish = false;
};
void PrintTo(const Fault& f, std::ostream* os) { *os << f.name; }

// Root may write anywhere: the unwritable folder is tried as "nobody". A frame the
// output was not opened for would be read out of bounds, a copy the host cannot
// make would be garbage: the frame fails, the output goes on.
std::vector<Fault> faults() {
    static qelhost::Picture small(32, 24), rgb(64, 48, 3), grey(64, 48, 1), indirect(64, 48, 4, false);
    const char* failedVideo = "QelFFmpegWriter: Failed to encode/write video frame";
    return {
        {"full_disk", "full", 30, {"QelFFmpegWriter: ", "No space left on device"}},
        {"folder_under_a_file", "a-file/out.mkv", 3,
         {"QelFFmpegWriter: failed to create file: Not a directory", "QelFFmpegWriter: Failed to create file."}},
        {"read_only_folder", "locked/out.mkv", 3,
         {"QelFFmpegWriter: failed to create file: Permission denied", "QelFFmpegWriter: Failed to create file."},
         [] { return geteuid() != 0 || (setgroups(0, nullptr) == 0 && setgid(NOBODY) == 0 && setuid(NOBODY) == 0); }},
        // SIGXFSZ ignored, so writes past the limit fail with EFBIG.
        {"size_limit_in_mid_render", "big.mkv", 400, {"File too large"},
         [] {
             std::signal(SIGXFSZ, SIG_IGN);
             const rlimit limit{16 * 1024, 16 * 1024};
             return setrlimit(RLIMIT_FSIZE, &limit) == 0;
         }},
        {"size_limit_met_by_the_finish", "end.mkv", 30, {"File too large"}, nullptr, nullptr, false, true},
        {"smaller_frame", "open/small.mkv", 0,
         {"QelFFmpegWriter: frame is 32x24 with 4 channels, the output was opened at 64x48 with 4", failedVideo},
         nullptr, [](qelhost::FrameRequest& r) { r.picture = &small; }},
        {"rgb_frame", "open/rgb.mkv", 0,
         {"QelFFmpegWriter: frame is 64x48 with 3 channels, the output was opened at 64x48 with 4", failedVideo},
         nullptr, [](qelhost::FrameRequest& r) { r.picture = &rgb; }},
        {"frame_without_pixels", "open/none.mkv", 0,
         {"QelFFmpegWriter: the host gave no pixels for the frame", failedVideo},
         nullptr, [](qelhost::FrameRequest& r) { r.picture = nullptr, r.width = 64, r.height = 48; }},
        {"picture_the_host_cannot_copy", "open/uncopied.mkv", 0,
         {"QelFFmpegWriter: the host gave no image context to copy the frame's picture with", failedVideo},
         nullptr, [](qelhost::FrameRequest& r) { r.picture = &indirect, standin_set_no_icontext(true); }},
        {"first_frame_refused", "open/first.mkv", 0, {"QelFFmpegWriter: the host gave no pixels for the frame"},
         nullptr, [](qelhost::FrameRequest& r) { r.picture = nullptr, r.width = 64, r.height = 48, r.frame = 0; },
         true},
        // Until now read as RGB, past the picture's end.
        {"one_channel_picture", "open/grey.mkv", 0,
         {"QelFFmpegWriter: a picture of 1 channels cannot be read; pictures come with 3 (RGB) or 4 (RGBA)"}, nullptr,
         [](qelhost::FrameRequest& r) { r.picture = &grey, r.frame = 0; }, true},
    };
}

}  // namespace

class Faults : public RequestTest {
protected:
    void SetUp() override {
        RequestTest::SetUp();
        namespace fs = std::filesystem;
        { std::ofstream(path("a-file")) << "not a folder"; }
        fs::create_directories(path("locked"));
        fs::permissions(path("locked"), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
        // A full disk's own node, so that a writer replacing it replaces only this
        // one; else a link to the machine's (a rename replaces the link, not the device).
        if (mknod(path("full").c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0)
            fs::create_symlink("/dev/full", path("full"));
        fs::create_directories(path("open"));
        fs::permissions(path("open"), fs::perms::all);
    }
};

// Runs `body` in a child, so that limits and identity stay there; its exit
// code, or -1 when it did not exit.
static int in_child(const std::function<int()>& body) {
    const pid_t child = fork();
    if (child == 0) _exit(body());
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

class FaultRows : public Faults, public ::testing::WithParamInterface<std::tuple<Fault, bool>> {};

// The request fails naming the cause, the next output works, and no descriptor
// nor memory is left behind. After a bad frame the host goes on at the same path:
// the movie goes on too, the bad frame's place taken by the picture before it.
TEST_P(FaultRows, TheRequestFailsSayingWhyAndTheNextOutputWorks) {
    // No structured binding: C++17 lambdas cannot capture one.
    const Fault& fault = std::get<0>(GetParam());
    const bool fastStart = std::get<1>(GetParam());
    std::string bad = path(fault.output);
    if (fastStart && bad.size() > 4 && bad.compare(bad.size() - 4, 4, ".mkv") == 0) bad.replace(bad.size() - 4, 4, ".mp4");
    const bool continues = fault.spoil && !fault.spoilsFirst;
    const std::string next = continues ? bad : path("open/after.mkv");
    const int code = in_child([&] {
        if (fault.in_child && !fault.in_child()) return 128;
        int code = 0;
        {
            auto host = open_panel({{"klavformat", fastStart ? items::MP4 : items::MATROSKA}, {"klavquality", "Maximum"}});
            if (fastStart && !host->change("klavfaststart", 1)) code |= 32;
            if (fault.shortAtTheFinish) {
                // The limit halfway between what the measuring render
                // had written when its finish began and what it had
                // written at the end: a repeat of a lossy encode may
                // differ by some bytes, and still meets it in its finish.
                const std::string extension = std::filesystem::path(bad).extension().string();
                const std::string measured = path("open/measured") + extension;
                const std::string unfinished = path("open/measured_Unfinished") + extension;
                std::error_code error;
                const bool sent = send_frames(*host, measured, fault.frames);
                const auto before = std::filesystem::file_size(unfinished, error);
                const auto size = finish(*host) && sent && !error ? std::filesystem::file_size(measured, error) : 0;
                std::signal(SIGXFSZ, SIG_IGN);
                const rlim_t at = rlim_t(before + (size - before) / 2);
                const rlimit limit{at, at};
                if (!size || error || size <= before + 1 || setrlimit(RLIMIT_FSIZE, &limit) != 0) return 128;
            }
            const int descriptors = open_descriptors();
            qelhost::Picture picture(64, 48);
            qelhost::FrameRequest spoilt;
            spoilt.picture = &picture, spoilt.frame = 1, spoilt.path = bad;
            if (fault.spoil) fault.spoil(spoilt);
            if (fault.spoil ? send_frames(*host, bad, fault.spoilsFirst ? 0 : 1) && host->process(spoilt) && finish(*host)
                            : render_frames(*host, bad, fault.frames))
                code |= 1;
            standin_set_no_icontext(false);
            for (const std::string& cause : fault.causes)
                if (!logged(host->log(), cause)) code |= 2;
            if (!render_frames(*host, next, 3, 2)) code |= 4;
            if (open_descriptors() != descriptors) code |= 8;
            if (!host->faults().empty()) code |= 64;
        }
        if (LEAKS_NOW()) code |= 16;
        return code;
    });
    ASSERT_NE(code, -1) << "the child crashed";
    ASSERT_NE(code, 128) << "could not set the fault up";
    for (int bit = 0; bit < 7; ++bit) EXPECT_EQ(code & (1 << bit), 0) << CHILD_FAILURES[bit];
    EXPECT_TRUE(fault.causes[0].find("create file") == std::string::npos || !std::filesystem::exists(bad));
    // Nothing at all: neither the movie nor its unfinished name.
    if (fault.spoilsFirst) {
        for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(bad).parent_path()))
            EXPECT_NE(entry.path().stem().string().rfind(std::filesystem::path(bad).stem().string(), 0), 0u) << entry.path();
    }
    EXPECT_EQ(probe::read(next).video_frames, continues ? 5 : 3);
    ASSERT_TRUE(std::filesystem::is_character_file(path("full"))) << "THE FULL DISK'S DEVICE NODE WAS REPLACED";
}

INSTANTIATE_TEST_SUITE_P(, FaultRows, ::testing::Combine(::testing::ValuesIn(faults()), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<FaultRows::ParamType>& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_mp4_faststart" : "_matroska");
                         });

// A slice too big to hold (a 2 GHz host at a tenth of a frame a second asks
// for 80 GB): the request fails saying so, for skipping it would shift all
// later sound against the pictures. A system that promises any size is held
// to a few GB more than the host has (AddressSanitizer's reserve rules that
// out: it refuses large blocks itself, see allocator_options.cpp).
TEST_F(Faults, ASliceTheModuleCannotHoldFailsTheRequest) {
    const int code = in_child([&] {
        if (!UNDER_ASAN) {
            std::ifstream statm("/proc/self/statm");
            rlim_t pages = 0;
            statm >> pages;
            rlimit limit{};
            getrlimit(RLIMIT_AS, &limit);
            const rlim_t at = std::min(pages * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t(4) << 30), limit.rlim_max);
            limit = rlimit{at, at};
            if (!pages || setrlimit(RLIMIT_AS, &limit) != 0) return 128;
        }
        int code = 0;
        auto host = pcm_panel(items::MATROSKA);
        host->node().audio = qelhost::AudioClip::tone(2e9);
        if (send_frames(*host, path("huge-slice.mkv"), 1, 0, 0.1)) code |= 1;
        if (!host->log().contains(4, "QelFFmpegWriter: memory allocation error (audio samples)")) code |= 2;
        if (!finish(*host)) code |= 4;
        if (!host->faults().empty()) code |= 64;
        return code;
    });
    ASSERT_NE(code, -1) << "the child crashed";
    ASSERT_NE(code, 128) << "could not limit the child's memory";
    for (int bit : {0, 1, 2, 6}) EXPECT_EQ(code & (1 << bit), 0) << CHILD_FAILURES[bit];
}

struct OddValue { const char* name; double value; };
void PrintTo(const OddValue& v, std::ostream* os) { *os << v.name; }
class OddControlValues : public RequestTest, public ::testing::WithParamInterface<std::tuple<OddValue, bool>> {};

// Stored projects (values before RESTORE) and other hosts (values changed behind
// the module's back) may hold any number in any control. A stored container past
// the list falls back to "mov"; with no encoder there every request says so.
TEST_P(OddControlValues, NeverCrash) {
    const auto& [odd, stored] = GetParam();
    auto host = make_host();
    ASSERT_TRUE(host->init());
    const auto set_all = [&, value = odd.value] {
        for (const qelhost::Control& control : host->controls().all())
            if (!control.identifier.empty()) host->controls().set_value(control.identifier, value);
    };
    if (stored) set_all();
    ASSERT_TRUE(host->restore());
    if (!stored) set_all();
    QEL_OutputInfo info{};
    ASSERT_TRUE(host->output_info(info));
    EXPECT_TRUE(!stored || std::string(info.extension) == "mov");

    const int descriptors = open_descriptors();
    qelhost::TestPatternClip clip({64, 48, 4, 25, 4, qelhost::AudioClip::tone(), {}});
    EXPECT_EQ(qelhost::render(*host, clip, to(path("odd-values.mov"))).failed, 4);
    EXPECT_TRUE(host->log().contains(4, "QelFFmpegWriter: Failed to create file."));
    EXPECT_TRUE(host->faults().empty());
    EXPECT_EQ(open_descriptors(), descriptors);
}

INSTANTIATE_TEST_SUITE_P(, OddControlValues,
                         ::testing::Combine(::testing::Values(OddValue{"minus_one", -1.0}, OddValue{"int_min", double(INT_MIN)},
                                                              OddValue{"1e5", 1e5}, OddValue{"1e9", 1e9},
                                                              OddValue{"int_max", double(INT_MAX)}),
                                            ::testing::Bool()),
                         [](const ::testing::TestParamInfo<OddControlValues::ParamType>& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_stored" : "_after_restore");
                         });

struct MissingSuite {
    const char* suite;
    const char* refusal;  // what each request is refused with; nullptr: nothing is told
    bool panel;           // Ctrl was acquired: the panel's controls exist
    bool sound;           // the clip's sound was read: Node was acquired, and frames have pixels
};
void PrintTo(const MissingSuite& c, std::ostream* os) { *os << c.suite; }
class MissingSuites : public RequestTest, public ::testing::WithParamInterface<MissingSuite> {};

// The module asks for the suites in order and does without the first one the host
// lacks and every one after: without Ctrl no encoder is chosen, without Image no
// frame has pixels, without Log it stays silent. The instance ends as any other.
TEST_P(MissingSuites, EverySuiteFromTheMissingOneOnIsDoneWithout) {
    const MissingSuite& c = GetParam();
    qelhost::HostOptions options;
    options.missing_suites = {c.suite};
    options.echo_log = false;
    qelhost::StandinHost host(module, options);
    ASSERT_TRUE(host.init());
    const std::vector<std::string> order = {"Log", "Ctrl", "MultiProc", "Node", "Image"};
    const auto asked = std::find(order.begin(), order.end(), c.suite) + 1;
    EXPECT_EQ(host.suite_requests(), std::vector<std::string>(order.begin(), asked));
    EXPECT_EQ(bindings(), 1);
    ASSERT_TRUE(host.restore());
    EXPECT_EQ(host.choose("klavformat", items::MATROSKA), c.panel);
    EXPECT_EQ(host.change("ffaudioChan1", 1) && host.change("ffaudioChan2", 1), c.panel);
    host.node().audio = qelhost::AudioClip::tone();

    EXPECT_FALSE(render_frames(host, path("without.mkv"), 2));
    EXPECT_TRUE(c.refusal ? host.log().contains(4, c.refusal) : host.log().lines().empty());
    EXPECT_EQ(host.node().audio_reads().empty(), !c.sound);
    EXPECT_TRUE(host.exit());
    EXPECT_TRUE(host.faults().empty());
}

constexpr const char* NO_PIXELS = "QelFFmpegWriter: the host gave no pixels for the frame";

INSTANTIATE_TEST_SUITE_P(, MissingSuites,
                         ::testing::Values(MissingSuite{"Log", nullptr, false, false},
                                           MissingSuite{"Ctrl", "QelFFmpegWriter: Failed to create file.", false, false},
                                           MissingSuite{"Node", NO_PIXELS, true, false},
                                           MissingSuite{"Image", NO_PIXELS, true, false}),
                         [](const ::testing::TestParamInfo<MissingSuite>& info) { return info.param.suite; });

// What a host's record or sound format may say that makes no sense: each is
// refused with a sentence, or met with a choice that keeps the movie sound.
struct HostileRequest {
    const char* name;
    std::vector<double> frames;  // the requests' frame numbers, in order
    double fps = 25;
    int32_t bits = 16;           // what the host says its sound is
    const char* refusal = nullptr;  // the one line the refused requests get
    int64_t pictures;            // in the file
    int64_t samples;             // in the file, per channel
    double file_fps = 25;
};
void PrintTo(const HostileRequest& c, std::ostream* os) { *os << c.name; }
class HostileRequests : public RequestTest, public ::testing::WithParamInterface<HostileRequest> {};

TEST_P(HostileRequests, AreRefusedSayingWhyOrMetWithASoundChoice) {
    const HostileRequest& c = GetParam();
    auto host = pcm_panel(items::MATROSKA);
    host->node().audio = qelhost::AudioClip::tone(48000, 2, c.bits);
    qelhost::Picture picture(64, 48);
    qelhost::FrameRequest request;
    request.picture = &picture;
    request.path = path("hostile.mkv");
    request.fps = c.fps;
    int refused = 0;
    for (double frame : c.frames) {
        request.frame = frame;
        refused += !host->process(request);
    }
    EXPECT_TRUE(finish(*host));
    EXPECT_EQ(host->log().count(LOG_ERROR), size_t(refused));
    EXPECT_TRUE(!c.refusal || host->log().contains(LOG_ERROR, c.refusal)) << testing::PrintToString(host->log().texts(LOG_ERROR));
    EXPECT_EQ(refused > 0, c.refusal != nullptr);
    EXPECT_TRUE(host->faults().empty());
    const probe::File movie = probe::read(path("hostile.mkv"));
    EXPECT_EQ(movie.video_frames, c.pictures);
    EXPECT_EQ(movie.audio_samples, c.samples);
    EXPECT_NEAR(movie.video_seconds, double(c.pictures) / c.file_fps, 0.002);
}

INSTANTIATE_TEST_SUITE_P(
    , HostileRequests,
    ::testing::Values(
        // Before the timeline's start: the host's sound there, in step (until
        // now a negative sample number was converted to an unsigned one).
        HostileRequest{"frames_before_the_start", {-2, -1, 0, 1}, 25, 16, nullptr, 4, 4 * 1920},
        HostileRequest{"no_frame_number", {NAN, 1, 2}, 25, 16, "QelFFmpegWriter: frame nan has no place in the host's sound", 2, 2 * 1920},
        HostileRequest{"a_frame_beyond_counting", {0, 1e17, 1}, 25, 16,
                       "QelFFmpegWriter: frame 1e+17 has no place in the host's sound", 2, 2 * 1920},
        // No rate at all: as below a tenth of a frame a second, 24 fps.
        HostileRequest{"an_infinite_rate", {0, 1, 2}, INFINITY, 16, nullptr, 3, 3 * 2000, 24},
        // Samples wider than any there are: the movie goes without sound.
        HostileRequest{"samples_of_two_billion_bits", {0, 1, 2}, 25, INT_MAX, nullptr, 3, 0}),
    [](const ::testing::TestParamInfo<HostileRequest>& info) { return info.param.name; });
