// qelhost render: a clip rendered through the module as the host renders it.
// INIT, the panel's values, RESTORE, one PROCESS per frame, a final PROCESS
// with an empty path, EXIT.
#include "commands.h"
#include "control_settings.h"
#include "progress.h"

#include "host/harness/demo_clip.h"
#include "host/harness/ffmpeg_log.h"
#include "host/harness/media_clip.h"
#include "host/harness/raw_clip.h"
#include "host/harness/render.h"
#include "host/harness/standin_host.h"

#include "standin.h"

extern "C" {
#include <libavutil/log.h>
}

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

struct RenderCommandOptions {
    std::string module = qelhost::default_module_path();
    std::string input;
    std::string raw;
    std::vector<std::string> sets;
    int64_t frames = -1;
    std::string size;
    double fps = 0;
    double audio_rate = 0;
    int audio_bits = 0;
    int audio_channels = -1;
    std::vector<double> cuts;
    int64_t split = 0;
    std::string timecode;
    std::string field_order = "progressive";
    std::string output;
    bool verbose = false;
    bool indirect = false;
    int64_t crash_after = 0;
    bool crash_in_finish = false;
};

[[noreturn]] void fail(const std::string& message, int status = 2) {
    std::fprintf(stderr, "qelhost: %s\n", message.c_str());
    throw CLI::RuntimeError(status);
}

// Where the host's and FFmpeg's messages go while a render runs. Encoders
// log from their own threads, so the terminal is taken in turn.
ProgressDisplay* g_display = nullptr;
std::mutex g_terminal;

void print_message(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_terminal);
    if (g_display)
        g_display->message(line);
    else
        std::fprintf(stderr, "%s\n", line.c_str());
}

void parse_size(const std::string& text, int32_t& width, int32_t& height) {
    int w = 0, h = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%dx%d%c", &w, &h, &tail) != 2 || w <= 0 || h <= 0 || w > 16384 || h > 16384)
        fail("--size wants WIDTHxHEIGHT, e.g. 1280x720, not \"" + text + "\"");
    width = w;
    height = h;
}

std::unique_ptr<qelhost::ClipSource> make_clip(const RenderCommandOptions& options) {
    int32_t width = 0, height = 0;
    if (!options.size.empty()) parse_size(options.size, width, height);

    if (!options.raw.empty()) {
        if (width <= 0) fail("--raw needs --size: the file holds only pixels");
        auto clip = std::make_unique<qelhost::RawVideoClip>(options.raw, width, height,
                                                            options.fps > 0 ? options.fps : 25.0, options.frames);
        if (!clip->ok()) fail(options.raw + ": not a file of " + options.size + " rgba64le pictures");
        return clip;
    }

    if (!options.input.empty()) {
        qelhost::MediaClipOptions media;
        media.width = width;
        media.height = height;
        media.fps = options.fps;
        media.frames = options.frames;
        media.audio_rate = options.audio_rate;
        media.audio_channels = options.audio_channels;
        media.audio_bits = options.audio_bits;
        media.cuts = options.cuts;
        std::string error;
        std::unique_ptr<qelhost::MediaClip> clip = qelhost::MediaClip::open(options.input, media, error);
        if (!clip) fail(error);
        return clip;
    }

    qelhost::DemoClip::Settings demo;
    if (width > 0) {
        demo.width = width;
        demo.height = height;
    }
    if (options.fps > 0) demo.fps = options.fps;
    demo.frames = options.frames >= 0 ? options.frames : std::llround(10 * demo.fps);
    demo.cuts = options.cuts;
    const int channels = options.audio_channels >= 0 ? options.audio_channels : 2;
    if (channels > 0)
        demo.audio = qelhost::AudioClip::tone(options.audio_rate > 0 ? options.audio_rate : 48000, channels,
                                              options.audio_bits > 0 ? options.audio_bits : 16);
    else
        demo.audio.reset();
    return std::make_unique<qelhost::DemoClip>(std::move(demo));
}

std::string default_output(const RenderCommandOptions& options, const char* extension) {
    std::string stem = "demo";
    if (!options.input.empty()) stem = std::filesystem::path(options.input).stem().string();
    if (!options.raw.empty()) stem = std::filesystem::path(options.raw).stem().string();
    std::string path = "out/" + stem;
    if (extension && *extension) path += std::string(".") + extension;
    return path;
}

std::string size_text(uintmax_t bytes) {
    char text[32];
    if (bytes >= 1024 * 1024)
        std::snprintf(text, sizeof text, "%.2f MiB", double(bytes) / (1024.0 * 1024.0));
    else if (bytes >= 1024)
        std::snprintf(text, sizeof text, "%.1f KiB", double(bytes) / 1024.0);
    else
        std::snprintf(text, sizeof text, "%ju bytes", bytes);
    return text;
}

std::string chosen(qelhost::StandinHost& host, const char* id) {
    const qelhost::Control* control = host.controls().find(id);
    return control ? control->value_text() : std::string("?");
}

void describe(qelhost::StandinHost& host, const qelhost::ClipSource& clip, const std::string& output) {
    std::string video = chosen(host, "klavvideocodec");
    const std::string profile = chosen(host, "klavvidprofile");
    if (profile != "-") video += ", " + profile;
    video += ", " + chosen(host, "klavpixelfmt");
    std::string audio = "no sound";
    if (const auto sound = clip.audio())
        audio = std::to_string(sound->channels) + " channels at " + std::to_string(int(sound->rate)) + " Hz, " +
                std::to_string(sound->bits) + " bit -> " + chosen(host, "klavaudiocodec");
    std::printf("Rendering %lld frames of %dx%d at %g fps to %s\n  container %s; video %s; audio %s\n",
                static_cast<long long>(clip.frame_count()), clip.width(), clip.height(), clip.fps(), output.c_str(),
                chosen(host, "klavformat").c_str(), video.c_str(), audio.c_str());
    std::fflush(stdout);
}

int summarise(const qelhost::RenderResult& result, const qelhost::ClipSource& clip, double seconds,
              bool hostFaults, int signal) {
    // Only regular files are files to list: a FIFO or a device named as
    // output has no size to report.
    std::vector<std::pair<std::string, uintmax_t>> files;
    uintmax_t total = 0;
    for (const std::string& path : result.paths) {
        std::error_code error;
        if (!std::filesystem::is_regular_file(path, error)) continue;
        const uintmax_t bytes = std::filesystem::file_size(path, error);
        if (error) continue;
        total += bytes;
        files.emplace_back(std::filesystem::absolute(path).lexically_normal().string(), bytes);
    }
    std::printf("\n%zu file%s:\n", files.size(), files.size() == 1 ? "" : "s");
    for (const auto& [path, bytes] : files) std::printf("  %s  %s\n", path.c_str(), size_text(bytes).c_str());
    const double duration = clip.fps() > 0 ? double(result.requests) / clip.fps() : 0;
    std::printf("%lld frames, %s (%.2f s) of %dx%d at %g fps, %s in all\n", static_cast<long long>(result.requests),
                ProgressDisplay::clock_text(duration).c_str(), duration, clip.width(), clip.height(), clip.fps(),
                size_text(total).c_str());
    if (!result.first_timecode.empty())
        std::printf("timecode %s to %s\n", result.first_timecode.c_str(), result.last_timecode.c_str());
    std::printf("rendered in %.2f s, %.1f frames per second on average; the last output finished in %.2f s\n",
                seconds, seconds > 0 ? double(result.requests) / seconds : 0.0, result.finish_seconds);

    int status = 0;
    if (result.failed > 0) {
        std::printf("%lld of %lld frame requests failed\n", static_cast<long long>(result.failed),
                    static_cast<long long>(result.requests));
        status = 1;
    }
    if (!result.finished) {
        std::printf("the final request (empty path) failed: the last file may not be finalised\n");
        status = 1;
    }
    if (hostFaults) {
        std::printf("the module breached the host contract (see the messages above)\n");
        status = 1;
    }
    if (signal != 0) {
        std::printf("interrupted after %lld of %lld frames\n", static_cast<long long>(result.requests),
                    static_cast<long long>(clip.frame_count()));
        status = 128 + signal;
    }
    std::fflush(stdout);
    return status;
}

// Ctrl-C, SIGTERM and SIGHUP stop the render after the frame in hand and let
// the output be finalised; a second one while that runs ends the process.
volatile std::sig_atomic_t g_stopSignal = 0;

extern "C" void on_stop_signal(int number) {
    if (g_stopSignal != 0) {
        std::signal(number, SIG_DFL);
        std::raise(number);
        return;
    }
    g_stopSignal = number;
    static const char notice[] = "\nqelhost: interrupted; finishing the output (once more to quit at once)\n";
    // Nothing to do if the terminal is gone (SIGHUP): the render goes on.
    [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, notice, sizeof notice - 1);
}

class StopSignals {
public:
    StopSignals() {
        g_stopSignal = 0;
        struct sigaction action {};
        action.sa_handler = on_stop_signal;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &action, &m_previous[i]);
    }
    ~StopSignals() {
        for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &m_previous[i], nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
    static int caught() { return g_stopSignal; }

private:
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction m_previous[std::size(kSignals)] {};
};

void run_render(const RenderCommandOptions& options) {
    std::vector<ControlSetting> settings;
    for (const std::string& text : options.sets) {
        ControlSetting setting;
        std::string error;
        if (!parse_control_setting(text, setting, error)) fail(error);
        settings.push_back(setting);
    }

    std::unique_ptr<qelhost::ClipSource> clip = make_clip(options);
    if (clip->frame_count() <= 0) fail("the clip has no frames to render");
    if (!options.timecode.empty()) {
        std::string error;
        const auto counter = qelhost::TimecodeCounter::parse(options.timecode, clip->fps(), error);
        if (!counter) fail("--timecode: " + error);
        clip->set_first_timecode(*counter);
    }
    // The host knows only which field comes first: tt and tb are its upper
    // field first, bb and bt its lower.
    static const std::map<std::string, int32_t> hostFieldOrders{
        {"progressive", 0}, {"tt", 1}, {"tb", 1}, {"bb", 2}, {"bt", 2}};
    clip->set_field_order(hostFieldOrders.at(options.field_order));
    const std::optional<qelhost::AudioClip> sound = clip->audio();
    const int hostChannels = sound ? sound->channels : 0;
    // The host offers as many channels as the clip has; the panel makes a toggle for each.
    standin_set_max_audio_channels(hostChannels);

    // The module and qelhost share one libavutil: FFmpeg's own lines (the
    // muxer's summary, the encoders' notes) come here.
    std::optional<qelhost::FfmpegLog> ffmpegLog(std::in_place, options.verbose ? AV_LOG_INFO : AV_LOG_WARNING,
                                                print_message);

    std::unique_ptr<qelhost::StandinHost> host;
    try {
        qelhost::HostOptions hostOptions;
        hostOptions.echo_level = options.verbose ? 0 : 2;
        host = std::make_unique<qelhost::StandinHost>(qelhost::Module::load(options.module), hostOptions);
    } catch (const std::exception& e) {
        fail(e.what());
    }
    host->log().keep = false;
    host->log().sink = [](int level, const std::string& text) {
        std::string line = std::string("[") + qelhost::HostLog::level_name(level) + "] " + text;
        while (!line.empty() && line.back() == '\n') line.pop_back();
        print_message(line);
    };

    if (!host->init()) fail("the module refused ACTION_INIT", 1);
    std::string error;
    if (!apply_control_settings(*host, with_render_defaults(settings, hostChannels), error)) fail(error);
    if (!host->restore()) fail("the module refused ACTION_RESTORE", 1);

    QEL_OutputInfo info{};
    const char* extension = host->output_info(info) ? info.extension : nullptr;
    const std::string output = options.output.empty() ? default_output(options, extension) : options.output;
    const std::filesystem::path folder = std::filesystem::path(output).parent_path();
    std::error_code folderError;
    if (!folder.empty()) std::filesystem::create_directories(folder, folderError);
    if (folderError) fail("cannot create " + folder.string() + ": " + folderError.message());
    describe(*host, *clip, output);

    ProgressDisplay display(clip->frame_count(), isatty(STDERR_FILENO) != 0);
    g_display = &display;
    qelhost::RenderOptions renderOptions;
    renderOptions.path = output;
    renderOptions.split = options.split;
    renderOptions.direct = !options.indirect;
    int64_t done = 0;
    qelhost::NodeServices& node = host->node();
    const int64_t crashAfter = options.crash_after;
    renderOptions.progress = [&display, &done, &node, crashAfter](int64_t, bool) {
        // A host that dies: no signal handler, no final request, no exit.
        if (++done == crashAfter) std::raise(SIGKILL);
        // The node keeps what each request asked for; a long render needs none of it.
        if (done % 1000 == 0) node.clear_history();
        std::lock_guard<std::mutex> lock(g_terminal);
        display.frame_done(done);
    };
    if (options.crash_in_finish) renderOptions.before_finish = [] { standin_crash_in_copy(true); };
    StopSignals signals;
    renderOptions.stop = [] { return StopSignals::caught() != 0; };
    const qelhost::RenderResult result = qelhost::render(*host, *clip, renderOptions);
    {
        std::lock_guard<std::mutex> lock(g_terminal);
        display.finish();
    }
    const double seconds = display.elapsed_seconds();

    if (auto* media = dynamic_cast<qelhost::MediaClip*>(clip.get()); media && media->held_frames() > 0)
        print_message("qelhost: the file held " + std::to_string(media->held_frames()) +
                      " frames fewer than it announced; the last picture stood in for them");
    host->exit();
    {
        std::lock_guard<std::mutex> lock(g_terminal);
        g_display = nullptr;
    }
    const bool faults = !host->faults().empty() || ffmpegLog->report_changed_level();
    host.reset();
    ffmpegLog.reset();

    const int status = summarise(result, *clip, seconds, faults, result.stopped ? StopSignals::caught() : 0);
    if (status != 0) throw CLI::RuntimeError(status);
}

}  // namespace

void add_render_command(CLI::App& app) {
    auto options = std::make_shared<RenderCommandOptions>();
    CLI::App* render = app.add_subcommand(
        "render",
        "Render a clip through the module as the host does. Without --input: 10 s of a 1920x1080 test picture at "
        "25 fps with its timecode burnt in and a stereo 48 kHz tone, as mp4/libx264/High with faststart, to "
        "out/demo.mp4");
    CLI::Option* input =
        render->add_option("--input,-i", options->input, "Media file to render (anything FFmpeg reads)")
            ->check(CLI::ExistingFile);
    render
        ->add_option("--raw", options->raw,
                     "File of raw rgba64le pictures of --size (no sound); frames past its end start it again")
        ->check(CLI::ExistingFile)
        ->excludes(input);
    render
        ->add_option("--set", options->sets,
                     "Control value ID=VALUE, repeatable; a choice takes the item's text, its index, or a container "
                     "or encoder short name (klavformat=mov, klavvideocodec=libx264)")
        ->allow_extra_args(false);
    render->add_option("--frames", options->frames, "Frames to render (default: the whole clip)")
        ->check(CLI::Range(int64_t(1), INT64_MAX));
    render->add_option("--size", options->size, "Picture size WIDTHxHEIGHT (an input is scaled)");
    render->add_option("--fps", options->fps, "Frames per second (an input's frames are relabelled)")
        ->check(CLI::PositiveNumber);
    render->add_option("--audio-rate", options->audio_rate, "The host's sample rate (an input is resampled)")
        ->check(CLI::PositiveNumber);
    render->add_option("--audio-bits", options->audio_bits, "The host's sample size")
        ->check(CLI::IsMember({16, 24, 32}));
    render->add_option("--audio-channels", options->audio_channels, "The host's channels; 0 for a clip without sound")
        ->check(CLI::Range(0, 32));
    render->add_option("--cuts", options->cuts, "Frames where a new timeline segment begins, e.g. 50,120")
        ->delimiter(',')
        ->check(CLI::NonNegativeNumber);
    render->add_option("--split", options->split, "A new output file every N frames (name_1.ext, name_2.ext, ...)")
        ->check(CLI::Range(int64_t(1), INT64_MAX));
    render
        ->add_option("--timecode", options->timecode,
                     "The first frame's timecode HH:MM:SS:FF, or HH:MM:SS;FF for drop-frame at 29.97 or 59.94 "
                     "(default 00:00:00:00)");
    render
        ->add_option("--field-order", options->field_order,
                     "Field order of every frame: tt or tb (upper field first), bb or bt (lower), progressive")
        ->check(CLI::IsMember({"tt", "bb", "tb", "bt", "progressive"}))
        ->capture_default_str();
    render->add_option("-o,--output", options->output, "Output file (default out/demo.EXT, or out/INPUT-NAME.EXT)");
    render->add_flag("-v,--verbose", options->verbose, "Show the verbose log lines and FFmpeg's notes");
    render->add_flag("--indirect", options->indirect, "Hand over images the module has to copy before reading");
    render
        ->add_option("--crash-after", options->crash_after,
                     "End the process with SIGKILL right after frame request N, as a host crash would")
        ->check(CLI::Range(int64_t(1), INT64_MAX));
    render->add_flag("--crash-in-finish", options->crash_in_finish,
                     "End the process with SIGKILL halfway through the module's copy of the movie at the end "
                     "(the faststart rewrite)");
    render->add_option("--module", options->module, "Module to load")->capture_default_str();
    render->callback([options] { run_render(*options); });
}
